#include "platform/text_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace platform {

namespace {

std::atomic<WriteCall> writeCall{nullptr};
std::atomic<TruncateCall> truncateCall{nullptr};

ssize_t writeSome(int fd, const void* bytes, size_t count) {
    const WriteCall call = writeCall.load();
    return call ? call(fd, bytes, count) : ::write(fd, bytes, count);
}

int truncateTo(int fd, off_t length) {
    const TruncateCall call = truncateCall.load();
    return call ? call(fd, length) : ::ftruncate(fd, length);
}

// True when every byte was written; `written` counts those that were, also on failure.
bool writeAll(int fd, std::string_view bytes, size_t* written = nullptr) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = writeSome(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        // A write that takes nothing without an error would take nothing again.
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    if (written) *written = done;
    return done == bytes.size();
}

}  // namespace

void setFileWriteCallsForTests(WriteCall write, TruncateCall truncate) {
    writeCall = write;
    truncateCall = truncate;
}

std::unique_ptr<TextOutputStream> TextOutputStream::Create(const FolderItem& file) {
    const int fd = ::open(file.AbsolutePath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return nullptr;
    return std::unique_ptr<TextOutputStream>(new TextOutputStream(fd));
}

std::unique_ptr<TextOutputStream> TextOutputStream::Append(const FolderItem& file) {
    // Readable too where it may be, so that the end of what is there can be looked at.
    const char* path = file.AbsolutePath().c_str();  // the item keeps the text
    int fd = ::open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0 && errno == EACCES) fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return nullptr;
    return std::unique_ptr<TextOutputStream>(new TextOutputStream(fd));
}

TextOutputStream::~TextOutputStream() { Close(); }

bool TextOutputStream::Write(std::string_view text) { return fd_ >= 0 && writeAll(fd_, text); }

bool TextOutputStream::WriteLine(std::string_view text) {
    if (fd_ < 0) return false;
    std::string line;
    line.reserve(text.size() + EndOfLine.size());
    line.append(text).append(EndOfLine);
    // Where the line begins: the end of the file, where an appending stream writes.
    const off_t start = ::lseek(fd_, 0, SEEK_END);
    size_t written = 0;
    if (writeAll(fd_, line, &written)) {
        leftPartOfALine_ = false;
        return true;
    }
    // Cutting a file shorter needs no space, so this works on a full disk too.
    leftPartOfALine_ = written > 0 && (start < 0 || truncateTo(fd_, start) != 0);
    return false;
}

bool TextOutputStream::EndsInPartOfALine() const {
    struct stat info {};
    if (fd_ < 0 || ::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) return false;
    char last = 0;
    return ::pread(fd_, &last, 1, info.st_size - 1) == 1 && last != EndOfLine.back();
}

void TextOutputStream::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::unique_ptr<TextInputStream> TextInputStream::Open(const FolderItem& file) {
    // Only regular files: reading a FIFO or a device could block or never end.
    if (!file.IsRegularFile()) return nullptr;
    const int fd = ::open(file.AbsolutePath().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    return std::unique_ptr<TextInputStream>(new TextInputStream(fd));
}

TextInputStream::~TextInputStream() { Close(); }

std::string TextInputStream::ReadAll() {
    std::string content;
    char buffer[65536];
    while (fd_ >= 0) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    return content;
}

void TextInputStream::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool replaceFileAtomically(const FolderItem& target, std::string_view content) {
    const auto folder = target.Parent();
    if (!folder) return false;
    const FolderItem temporary = folder->Child("." + target.Name() + ".new");
    const int fd = ::open(temporary.AbsolutePath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = writeAll(fd, content) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || std::rename(temporary.AbsolutePath().c_str(), target.AbsolutePath().c_str()) != 0) {
        ::unlink(temporary.AbsolutePath().c_str());
        return false;
    }
    return true;
}

}  // namespace platform
