// The activity log: month files under logs/ of the application folder, and the window text that
// must show the same lines in the same order, with a warning whenever the file cannot be written.

#include "core/activity_log.h"
#include "test_folder.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <cctype>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using qvtest::fs::path;
using qvtest::readFile;
using qvtest::TestFolder;

const std::string kError = "LOG FILE ERROR - CANNOT WRITE LOG FILE !!!";

// True when text has the shape of pattern, where each '0' stands for any digit.
bool hasShape(std::string_view text, std::string_view pattern) {
    if (text.size() != pattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (pattern[i] == '0' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != pattern[i]) return false;
    return true;
}

std::time_t localTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

TEST(LogText, FileNamesAndLines) {
    const struct {
        int year, month;
        const char* name;
    } names[] = {{2026, 3, "serverlog-2026-03.log"}, {2026, 10, "serverlog-2026-10.log"},
                 {2026, 12, "serverlog-2026-12.log"}, {1999, 1, "serverlog-1999-01.log"}};
    for (const auto& n : names) EXPECT_EQ(logFileName(n.year, n.month), n.name);

    std::tm t{};
    t.tm_year = 126, t.tm_mon = 2, t.tm_mday = 5, t.tm_hour = 7, t.tm_min = 8, t.tm_sec = 9;
    EXPECT_EQ(logLine(t, "server started"), "2026-03-05 07:08:09: server started");
    EXPECT_EQ(logLine(t, ""), "2026-03-05 07:08:09: ");
    t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 31, t.tm_hour = 23, t.tm_min = 59, t.tm_sec = 59;
    EXPECT_EQ(logLine(t, "x"), "2026-12-31 23:59:59: x");
}

class ActivityLog : public ::testing::Test {
 protected:
    void SetUp() override {
        gfs::setLogWindowSink([this](const std::string& piece) {
            pieces.push_back(piece);
            sinkThreads.push_back(std::this_thread::get_id());
        });
    }
    // Queued pieces refer to this fixture: deliver them all before it goes away.
    void TearDown() override {
        deliver();
        gfs::setLogWindowSink(nullptr);
        deliver();
    }
    static void deliver() { QCoreApplication::sendPostedEvents(); }

    path logFile(const std::string& name) const { return folder / "logs" / name; }

    TestFolder folder;
    std::vector<std::string> pieces;
    std::vector<std::thread::id> sinkThreads;
};

TEST_F(ActivityLog, AppendsToTheMonthFileAndQueuesTheWindowText) {
    const std::time_t march = localTime(2026, 3, 15, 12, 0, 0);
    gfs::logujakciuAt("first", march);
    gfs::logujakciuAt("second", march + 61);
    EXPECT_TRUE(pieces.empty()) << "window text is delivered through the event queue only";

    const std::string marchText = "2026-03-15 12:00:00: first\n2026-03-15 12:01:01: second\n";
    EXPECT_EQ(readFile(logFile("serverlog-2026-03.log")), marchText);
    deliver();
    EXPECT_EQ(pieces, (std::vector<std::string>{"\n2026-03-15 12:00:00: first", "\n2026-03-15 12:01:01: second"}));

    // A new month starts a new file and leaves the old one alone.
    gfs::logujakciuAt("", localTime(2026, 4, 2, 9, 30, 5));
    EXPECT_EQ(readFile(logFile("serverlog-2026-04.log")), "2026-04-02 09:30:05: \n");
    EXPECT_EQ(readFile(logFile("serverlog-2026-03.log")), marchText);
}

TEST_F(ActivityLog, LocalTimeChoosesTheMonth) {
    // 23:30 UTC on 31 March is already 1 April in a zone nine hours ahead.
    struct ZoneGuard {
        std::optional<qvtest::ScopedEnv> tz{std::in_place, "TZ", "JST-9"};
        ZoneGuard() { ::tzset(); }
        ~ZoneGuard() {
            tz.reset();
            ::tzset();
        }
    };
    std::tm utc{};
    utc.tm_year = 126, utc.tm_mon = 2, utc.tm_mday = 31, utc.tm_hour = 23, utc.tm_min = 30;
    const std::time_t when = ::timegm(&utc);
    {
        ZoneGuard zone;
        gfs::logujakciuAt("tokyo", when);
    }
    EXPECT_EQ(readFile(logFile("serverlog-2026-04.log")), "2026-04-01 08:30:00: tokyo\n");
    EXPECT_FALSE(qvtest::fs::exists(logFile("serverlog-2026-03.log")));
}

TEST_F(ActivityLog, CurrentTimeCreatesTheLogsFolder) {
    ASSERT_FALSE(qvtest::fs::exists(folder / "logs"));
    gfs::logujakciu("now");
    std::vector<path> files;
    for (const auto& entry : qvtest::fs::directory_iterator(folder / "logs")) files.push_back(entry.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(hasShape(files[0].filename().string(), "serverlog-0000-00.log")) << files[0];
    const std::string text = readFile(files[0]);
    EXPECT_TRUE(hasShape(text, "0000-00-00 00:00:00: now\n")) << text;
    // The file is named after the month of its line.
    EXPECT_EQ(files[0].filename().string(), "serverlog-" + text.substr(0, 7) + ".log");
    deliver();
    EXPECT_EQ(pieces, std::vector<std::string>{"\n" + text.substr(0, text.size() - 1)});
}

void expectErrorOnEveryCall(std::vector<std::string>& pieces, const char* what) {
    const std::time_t when = localTime(2026, 5, 6, 7, 8, 9);
    gfs::logujakciuAt("one", when);
    gfs::logujakciuAt("two", when);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(pieces, (std::vector<std::string>{"\n" + kError + "\n2026-05-06 07:08:09: one",
                                                "\n" + kError + "\n2026-05-06 07:08:09: two"}))
        << what;
    pieces.clear();
}

TEST_F(ActivityLog, UnwritableLogIsReportedInTheWindow) {
    const struct {
        const char* what;
        void (*make)(const path& logs);
        const char* logsAfter;  // what stays in place of logs, or of the month file in it
    } cases[] = {
        {"logs is a file", [](const path& logs) { qvtest::writeFile(logs, "not a folder"); }, "not a folder"},
        {"the month file is a folder",
         [](const path& logs) { qvtest::fs::create_directories(logs / "serverlog-2026-05.log"); }, nullptr},
        {"the month file is a full device",
         [](const path& logs) {
             qvtest::fs::create_directory(logs);
             qvtest::fs::create_symlink("/dev/full", logs / "serverlog-2026-05.log");
         },
         nullptr},
    };
    for (const auto& c : cases) {
        TestFolder caseFolder;
        c.make(caseFolder / "logs");
        expectErrorOnEveryCall(pieces, c.what);
        if (c.logsAfter) EXPECT_EQ(readFile(caseFolder / "logs"), c.logsAfter) << c.what;
        else EXPECT_EQ(std::distance(qvtest::fs::directory_iterator(caseFolder / "logs"), {}), 1) << c.what;
    }
}

TEST_F(ActivityLog, ImmutableLogIsReportedInTheWindow) {
    // An immutable folder refuses a new month file; an immutable month file refuses appending.
    qvtest::fs::create_directory(folder / "logs");
    {
        qvtest::ImmutableGuard locked(folder / "logs");
        if (!locked.active()) GTEST_SKIP() << "chattr +i is not available here";
        expectErrorOnEveryCall(pieces, "immutable logs folder");
        EXPECT_TRUE(qvtest::fs::is_empty(folder / "logs"));
    }
    qvtest::writeFile(logFile("serverlog-2026-05.log"), "old line\n");
    {
        qvtest::ImmutableGuard locked(logFile("serverlog-2026-05.log"));
        ASSERT_TRUE(locked.active());
        expectErrorOnEveryCall(pieces, "immutable month file");
        EXPECT_EQ(readFile(logFile("serverlog-2026-05.log")), "old line\n");
    }
}

TEST_F(ActivityLog, WindowShowsLinesOfAllThreadsInFileOrder) {
    constexpr int kLines = 200;
    const std::time_t when = localTime(2026, 7, 1, 10, 0, 0);
    std::thread other([when] {
        for (int i = 0; i < kLines; ++i) gfs::logujakciuAt("other " + std::to_string(i), when);
    });
    for (int i = 0; i < kLines; ++i) gfs::logujakciuAt("main " + std::to_string(i), when);
    other.join();
    deliver();

    const std::string file = readFile(logFile("serverlog-2026-07.log"));
    ASSERT_FALSE(file.empty());
    std::string window;
    for (const std::string& piece : pieces) window += piece;
    EXPECT_EQ(window, "\n" + file.substr(0, file.size() - 1));
    EXPECT_EQ(pieces.size(), 2u * kLines);
    for (const auto& id : sinkThreads) EXPECT_EQ(id, std::this_thread::get_id());

    // Each thread's own lines keep their order.
    int nextMain = 0, nextOther = 0;
    const std::string stamp = "\n2026-07-01 10:00:00: ";
    for (const std::string& piece : pieces) {
        ASSERT_EQ(piece.substr(0, stamp.size()), stamp);
        const std::string message = piece.substr(stamp.size());
        const size_t blank = message.find(' ');
        ASSERT_NE(blank, std::string::npos) << piece;
        int& next = message.substr(0, blank) == "main" ? nextMain : nextOther;
        EXPECT_EQ(message.substr(blank + 1), std::to_string(next++)) << piece;
    }
    EXPECT_EQ(nextMain, kLines);
    EXPECT_EQ(nextOther, kLines);
}

}  // namespace
