// The activity log: month files under logs/ of the application folder, and the window text that
// must show the same lines in the same order, with a warning whenever the file cannot be written.

#include "core/activity_log.h"
#include "core_fixture.h"
#include "platform/text_stream.h"

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <functional>
#include <thread>

#include <unistd.h>

namespace {

using namespace qvtest;

std::time_t at(const char* localTime) {
    std::tm t{};
    ::strptime(localTime, "%Y-%m-%d %H:%M:%S", &t);
    return t.tm_isdst = -1, std::mktime(&t);
}

class ActivityLog : public ::testing::Test {
 protected:
    void SetUp() override {
        gfs::setLogWindowSink([this, main = std::this_thread::get_id()](const std::string& piece) {
            EXPECT_EQ(std::this_thread::get_id(), main) << "the window is fed on the main thread only";
            pieces.push_back(piece);
        });
    }
    // Queued pieces refer to this fixture: deliver them all before it goes away.
    void TearDown() override {
        deliver();
        gfs::setLogWindowSink(nullptr);
        deliver();
    }
    static void deliver() { QCoreApplication::sendPostedEvents(); }
    fs::path logs() const { return run.folder() / "logs"; }

    CoreRun run;
    Strings pieces;
};

TEST_F(ActivityLog, AppendsToTheMonthFileAndQueuesTheWindowText) {
    gfs::logujakciuAt("first", at("2026-03-15 12:00:00"));
    gfs::logujakciuAt("second", at("2026-03-15 12:01:01"));
    EXPECT_TRUE(pieces.empty()) << "window text is delivered through the event queue only";
    const std::string marchText = "2026-03-15 12:00:00: first\n2026-03-15 12:01:01: second\n";
    EXPECT_EQ(readFile(logs() / "serverlog-2026-03.log"), marchText);
    deliver();
    EXPECT_EQ(pieces, (Strings{"\n2026-03-15 12:00:00: first", "\n2026-03-15 12:01:01: second"}));

    // A new month starts a new file and leaves the old one alone. The month is the local one:
    // 08:30 on 1 April nine hours east of UTC is still March in UTC.
    {
        ScopedEnv zone("TZ", "JST-9");
        ::tzset();
        gfs::logujakciuAt("", at("2026-04-01 08:30:00"));
    }
    ::tzset();
    EXPECT_EQ(readFile(logs() / "serverlog-2026-04.log"), "2026-04-01 08:30:00: \n");
    EXPECT_EQ(readFile(logs() / "serverlog-2026-03.log"), marchText);
}

// The quit line is logged as the event loop ends: the process hands it over itself, once.
TEST_F(ActivityLog, WindowTextStillWaitingIsDeliveredOnDemandAndNeverTwice) {
    for (const char* line : {"one", "two", "QUIT"}) gfs::logujakciuAt(line, at("2026-08-01 09:00:00"));
    gfs::deliverLogWindowText();
    const Strings expected{"\n2026-08-01 09:00:00: one", "\n2026-08-01 09:00:00: two", "\n2026-08-01 09:00:00: QUIT"};
    EXPECT_EQ(pieces, expected);
    deliver();
    EXPECT_EQ(pieces, expected);
}

TEST_F(ActivityLog, UnwritableLogIsReportedBeforeEachLineInTheWindow) {
    const fs::path month = logs() / "serverlog-2026-05.log";
    bool lockable = true;
    const std::function<void()> makes[] = {
        [&] { writeFile(logs(), "not a folder"); },
        [&] { fs::create_directories(month); },
        [&] { fs::create_directory(logs()), fs::create_symlink("/dev/full", month); },
        [&] { fs::create_directory(logs()), lockable = run.lock(logs()); },
    };
    const std::string warned = "\nLOG FILE ERROR - CANNOT WRITE LOG FILE !!!\n2026-05-06 07:08:09: ";
    for (const auto& make : makes) {
        SCOPED_TRACE(&make - makes);
        fs::remove_all(logs());
        make();
        if (!lockable) GTEST_SKIP() << "chattr +i is not available here";
        for (const char* line : {"one", "two"}) gfs::logujakciuAt(line, at("2026-05-06 07:08:09"));
        deliver();
        EXPECT_EQ(pieces, (Strings{warned + "one", warned + "two"}));
        pieces.clear();
    }
}

TEST_F(ActivityLog, WindowShowsLinesOfAllThreadsInFileOrder) {
    const auto write = [when = at("2026-07-01 10:00:00")](const std::string& who) {
        for (int i = 0; i < 200; ++i) gfs::logujakciuAt(who + std::to_string(i), when);
    };
    std::thread other(write, "other ");
    write("main ");
    other.join();
    deliver();
    std::string window;
    for (const std::string& piece : pieces) window += piece;
    const std::string file = readFile(logs() / "serverlog-2026-07.log");
    EXPECT_EQ(pieces.size(), 400u);
    EXPECT_EQ(window, "\n" + file.substr(0, file.size() - 1));
}

// What the injected disk takes before it is full (negative: everything), and whether a file on
// it can be cut back.
long roomLeft = -1;
bool truncates = true;

ssize_t writeOnFullingDisk(int fd, const void* bytes, size_t count) {
    if (roomLeft < 0) return ::write(fd, bytes, count);
    if (roomLeft == 0) return errno = ENOSPC, -1;
    const ssize_t written = ::write(fd, bytes, std::min<size_t>(count, static_cast<size_t>(roomLeft)));
    if (written > 0) roomLeft -= written;
    return written;
}

int truncateIfAble(int fd, off_t length) { return truncates ? ::ftruncate(fd, length) : (errno = EIO, -1); }

// A line the full disk cut short never glues the next line to it: every line of the file begins
// with its time stamp, whether the cut could be taken back or had to be ended with a line end.
TEST_F(ActivityLog, ALineTheDiskCutShortNeverJoinsTheNextOne) {
    platform::setFileWriteCallsForTests(writeOnFullingDisk, truncateIfAble);
    const std::string stamp = "2026-09-01 10:00:00: ";
    const struct {
        long room;  // for the second and third lines
        bool truncates;
        std::string file;
    } cases[] = {
        {10, true, stamp + "one\n" + stamp + "four\n"},
        {0, true, stamp + "one\n" + stamp + "four\n"},
        {10, false, stamp + "one\n" + stamp.substr(0, 10) + "\n" + stamp + "four\n"},
        {23, false, stamp + "one\n" + stamp + "tw\n" + stamp + "four\n"},  // owed still after the third
    };
    const fs::path month = logs() / "serverlog-2026-09.log";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        fs::remove_all(logs());
        roomLeft = -1, truncates = c.truncates;
        gfs::logujakciuAt("one", at("2026-09-01 10:00:00"));
        roomLeft = c.room;
        gfs::logujakciuAt("two", at("2026-09-01 10:00:00"));
        roomLeft = 0;
        gfs::logujakciuAt("three", at("2026-09-01 10:00:00"));
        roomLeft = -1;
        gfs::logujakciuAt("four", at("2026-09-01 10:00:00"));
        EXPECT_EQ(readFile(month), c.file);
        // The window is told of every line the file lacks, as before.
        deliver();
        const std::string warned = "\nLOG FILE ERROR - CANNOT WRITE LOG FILE !!!\n" + stamp;
        EXPECT_EQ(pieces, (Strings{"\n" + stamp + "one", warned + "two", warned + "three", "\n" + stamp + "four"}));
        pieces.clear();
    }
    platform::setFileWriteCallsForTests(nullptr, nullptr);
    // A line an earlier run left unfinished (it ended while it wrote) is ended before the next one.
    for (const std::string& before : {stamp + "cut sh", stamp + "whole\n", std::string()}) {
        fs::remove_all(logs());
        fs::create_directories(logs());
        writeFile(month, before);
        gfs::logujakciuAt("next", at("2026-09-01 10:00:00"));
        EXPECT_EQ(readFile(month), before + (before == stamp + "cut sh" ? "\n" : "") + stamp + "next\n");
    }
}

}  // namespace
