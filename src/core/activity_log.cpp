#include "core/activity_log.h"

#include "platform/app_folder.h"
#include "platform/main_thread.h"
#include "platform/text_stream.h"

#include <cstdio>
#include <mutex>
#include <vector>

namespace {

// Guards the log file, the window text that waits for the main thread and the sink itself.
std::mutex logMutex;
std::function<void(const std::string&)> windowSink;
std::vector<std::string> waitingForWindow;
// The log file that holds part of a line which could not be cut back after a failed write: the
// next line written there begins with a line end, so that every line starts with its time stamp.
std::string fileEndingInPartOfALine;

void deliverWaiting() {
    std::vector<std::string> pieces;
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard lock(logMutex);
        pieces.swap(waitingForWindow);
        sink = windowSink;
    }
    if (sink)
        for (const std::string& piece : pieces) sink(piece);
}

// Called under logMutex; true when the main thread has to be asked to deliver. Pieces wait in
// log order; one delivery takes all that wait, so that a burst of lines costs the main thread one
// event, not one each.
bool queueForWindow(std::string piece) {
    if (!windowSink) return false;
    waitingForWindow.push_back(std::move(piece));
    return waitingForWindow.size() == 1;
}

}  // namespace

std::string logFileName(int year, int month) {
    char name[64];
    std::snprintf(name, sizeof name, "serverlog-%d-%02d.log", year, month);
    return name;
}

std::string logLine(const std::tm& t, std::string_view message) {
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d: ", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return std::string(stamp).append(message);
}

namespace gfs {

void setLogWindowSink(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(logMutex);
    windowSink = std::move(sink);
    if (!windowSink) waitingForWindow.clear();
}

void deliverLogWindowText() { deliverWaiting(); }

void logujakciu(std::string_view message) { logujakciuAt(message, std::time(nullptr)); }

void logujakciuAt(std::string_view message, std::time_t when) {
    std::tm local {};
    localtime_r(&when, &local);
    const std::string line = logLine(local, message);
    const std::string_view eol = platform::EndOfLine;

    bool deliver = false;
    {
        std::lock_guard lock(logMutex);
        const platform::FolderItem folder = platform::ApplicationFolder().Child("logs");
        if (!folder.Exists()) folder.CreateAsFolder();
        const platform::FolderItem file = folder.Child(logFileName(local.tm_year + 1900, local.tm_mon + 1));
        const auto stream = folder.Directory() ? platform::TextOutputStream::Append(file) : nullptr;
        const bool afterPartOfALine =
            fileEndingInPartOfALine == file.AbsolutePath() || (stream && stream->EndsInPartOfALine());
        bool written = false;
        if (stream) {
            written = stream->WriteLine(afterPartOfALine ? std::string(eol) + line : line);
            if (written) fileEndingInPartOfALine.clear();
            if (stream->LeftPartOfALine()) fileEndingInPartOfALine = file.AbsolutePath();
        }
        std::string piece;
        if (!written) piece.append(eol).append(kLogFileError);
        piece.append(eol).append(line);
        deliver = queueForWindow(std::move(piece));
    }
    // Always through the event loop, also from the main thread, so that no caller is re-entered.
    if (deliver) platform::postToMainThread(deliverWaiting);
}

}  // namespace gfs
