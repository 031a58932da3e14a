// The server's bounds as a client and an operator meet them, over the real executable: a catalog
// of millions of empty disks searched and browsed within bounded memory and time, a file-name
// search that ends at the request's deadline with what it found, conditions as deep as the engine
// takes, and a log folder on a file system that fills up and frees again.

#include "test_support/process_usage.h"
#include "test_support/server_process.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <regex>

namespace {

namespace fs = std::filesystem;
using namespace test_support;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Writes settings with a free port and the file-name search switched on, and starts.
bool serveWithFileNameSearch(ServerProcess& server) {
    const int port = freePort();
    std::string settings = settingsText(port);
    settings.replace(settings.find("\"use_spotlight\" value=\"false\""), 29, "\"use_spotlight\" value=\"true\"");
    server.writeFile("preferences-server.xml", settings);
    return server.start() && waitFor([port] { return pingAnswered(port); });
}

int portOf(const ServerProcess& server) {
    const std::string settings = readFile(server.folder() / "preferences-server.xml");
    return std::atoi(settings.c_str() + settings.find("\"port\" value=\"") + 14);
}

std::string lastSearchLine(ServerProcess& server) {
    const auto lines = linesStartingWith(server.logText(), "");
    for (auto line = lines.rbegin(); line != lines.rend(); ++line)
        if (line->find(": SQL action: ") != std::string::npos) return *line;
    return {};
}

// Five million disks without a value make a 68 MB file whose disk list, held whole, took more
// than a gigabyte and many seconds. The sanitizers double what each allocation costs.
TEST(ServerBounds, MillionsOfEmptyDisksAreSearchedAndListedInBoundedMemoryAndTime) {
#if defined(__SANITIZE_ADDRESS__)
    constexpr long kPeakBoundKb = 2L << 20;
#else
    constexpr long kPeakBoundKb = 1L << 20;
#endif
    ServerProcess server;
    const std::string empty = (server.parentFolder() / "empty.vxo").string(),
                      small = (server.parentFolder() / "small.vxo").string();
    Sql{empty}("CREATE TABLE paths(ppath, name, itype, disk, size, dcr, dmd, vis, mt, mc);"
               "INSERT INTO paths VALUES('/p/', 'a.txt', '0', 1, 1, 1, 1, '1', '', '');"
               "CREATE TABLE disks(disk INTEGER PRIMARY KEY, dtype, dname, dlabel, dpath, dd);"
               "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k WHERE i < 5000000) "
               "INSERT INTO disks(disk) SELECT i FROM k;");
    ASSERT_TRUE(makeNeedleCatalog(small, 10, 5));
    ASSERT_TRUE(server.serve());
    const struct {
        std::string_view command, condition;
        size_t records;
    } cases[] = {{"vaxo-search", "1=1", 0}, {"vaxo-browse", kGetdisks, 1'000'000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const auto start = Clock::now();
        const std::string answer = exchange(server.port(), request(c.command, {empty}, c.condition), "</result>\n", 60000);
        EXPECT_LT(Clock::now() - start, 30s);
        EXPECT_TRUE(isCompleteSearchAnswer(answer));
        EXPECT_LE(answer.size(), size_t{256} << 20);
        // A slow build (the sanitizers) meets the time bound first, which gives no disk at all.
        const auto cut = [&](const char* mark) { return lastSearchLine(server).ends_with(mark); };
        EXPECT_TRUE(waitFor([&] { return cut("; answer cut: budget 268435456 bytes") || cut("; answer cut: time limit 10 s"); }))
            << lastSearchLine(server);
        EXPECT_GE(recordLines(answer).size(), cut("; answer cut: budget 268435456 bytes") ? c.records : 0) << lastSearchLine(server);
        EXPECT_LT(processStatusKb(server.pid(), "VmHWM"), kPeakBoundKb);
        // The next request is served whole.
        const std::string next = exchange(server.port(), request("vaxo-search", {small}, "1=1"), "</result>\n");
        EXPECT_EQ(recordLines(next).size(), 10u);
        EXPECT_TRUE(waitFor([&] {
            const std::string line = lastSearchLine(server);
            return line.find("; results: 10; ticks: ") != std::string::npos && line.find("cut") == std::string::npos;
        })) << lastSearchLine(server);
    }
}

// plocate that names a hit and then hangs, as on a stalled file system: the answer comes at the
// request's deadline with the hit and its tail, plocate is ended, and the log line says why.
TEST(ServerBounds, TheFileNameSearchEndsAtTheRequestsDeadline) {
    ServerProcess server;
    const fs::path bin = server.parentFolder() / "bin", hit = server.parentFolder() / "a hit",
                   pidFile = server.parentFolder() / "plocate.pid";
    fs::create_directory(bin);
    writeFile(hit, "x");
    writeFile(bin / "plocate", "#!/bin/sh\necho $$ > '" + pidFile.string() + "'\nprintf '%s\\000' '" + hit.string() +
                                   "'\nexec sleep 120\n");
    fs::permissions(bin / "plocate", fs::perms::owner_all);
    const std::string path = bin.string() + ":" + std::getenv("PATH");
    const ScopedEnv fake("PATH", path.c_str());
    ASSERT_TRUE(serveWithFileNameSearch(server));
    const int port = portOf(server);
    const auto start = Clock::now();
    const std::string answer = exchange(port, request("vaxo-search", {}, "", "v", "tester", "hit"), "</result>\n", 40000);
    const auto took = Clock::now() - start;
    EXPECT_GT(took, 9s) << "ended before the deadline";
    EXPECT_LT(took, 20s);
    EXPECT_TRUE(isCompleteSearchAnswer(answer));
    const auto lines = recordLines(answer);
    ASSERT_EQ(lines.size(), 1u) << answer;
    EXPECT_EQ(attribute(lines[0], "name"), "a hit");
    EXPECT_TRUE(waitFor([&] { return lastSearchLine(server).ends_with("; answer cut: time limit 10 s"); }))
        << lastSearchLine(server);
    const pid_t plocate = std::atoi(readFile(pidFile).c_str());
    EXPECT_TRUE(plocate > 0 && ::kill(plocate, 0) != 0 && errno == ESRCH) << "plocate still there: " << plocate;
    EXPECT_TRUE(pingAnswered(port));
}

// A chain of OR'd terms is one level deeper than its terms: 999 is the most the engine takes.
TEST(ServerBounds, ConditionsAsDeepAsTheEngineTakesAreAnsweredByTheWorker) {
    ServerProcess server;
    const std::string catalog = (server.parentFolder() / "needles.vxo").string();
    ASSERT_TRUE(makeNeedleCatalog(catalog, 1000, 100));  // needle100 ... needle1000
    ASSERT_TRUE(server.serve());
    for (const int terms : {300, 999}) {
        std::string chain;
        for (int i = 1; i <= terms; ++i) chain += (i > 1 ? " OR name = 'needle" : "name = 'needle") + std::to_string(i) + "'";
        const std::string answer = exchange(server.port(), request("vaxo-search", {catalog}, chain), "</result>\n");
        EXPECT_EQ(recordLines(answer).size(), static_cast<size_t>(terms / 100)) << terms;
        EXPECT_TRUE(waitFor([&] { return lastSearchLine(server).find("; results: " + std::to_string(terms / 100) + ";") !=
                                         std::string::npos; }));
        EXPECT_EQ(lastSearchLine(server).find("answer cut"), std::string::npos);
    }
}

// A small file system of its own for the log folder; none when this process may not mount one.
class SmallFileSystem {
 public:
    explicit SmallFileSystem(const fs::path& at) : at_(at) {
        fs::create_directories(at);
        mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=256k") == 0;
    }
    ~SmallFileSystem() {
        if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    // Writes a file until the file system is full.
    void fill(const fs::path& file) const {
        std::FILE* out = std::fopen(file.c_str(), "w");
        const std::string block(512, 'f');
        while (out && std::fwrite(block.data(), 1, block.size(), out) == block.size() && std::fflush(out) == 0) {
        }
        if (out) std::fclose(out);
    }

 private:
    fs::path at_;
    bool mounted_ = false;
};

// With the log folder on a full file system, a line cut by the full disk must not have the next
// line glued to it once there is room again.
TEST(ServerBounds, EveryLogLineStartsWithItsTimeStampAfterTheDiskWasFull) {
    ServerProcess server;
    const SmallFileSystem logs(server.folder() / "logs");
    if (!logs.mounted()) GTEST_SKIP() << "no tmpfs can be mounted here";
    ASSERT_TRUE(server.serve());
    const fs::path filler = server.folder() / "logs" / "filler";
    logs.fill(filler);
    // Long lines, so that some begin in the file's last block and need a block more.
    for (char label = 'a'; label < 'e'; ++label)
        exchange(server.port(), "]':'[vaxo-ping]':'[fault test]':'[" + std::string(3000, label) + "]':'[", "</answer>\n");
    ASSERT_TRUE(waitFor([&] {
        server.process().waitForReadyRead(20);
        return server.standardOutput().find("LOG FILE ERROR - CANNOT WRITE LOG FILE !!!") != std::string::npos;
    }));
    fs::remove(filler);
    exchange(server.port(), "]':'[vaxo-ping]':'[fault test]':'[room again]':'[", "</answer>\n");
    ASSERT_TRUE(server.waitForLogLine("ping: room again (fault test) \n"));
    // One time stamp to a line, at its start: a line glued to a cut one carries its stamp inside.
    const std::regex stamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}: )");
    const auto lines = linesStartingWith(server.logText(), "");
    EXPECT_GE(lines.size(), 4u);
    for (const std::string& line : lines) {
        std::smatch found;
        EXPECT_TRUE(std::regex_search(line, found, stamp) && found.position(0) == 0) << line.substr(0, 80);
        EXPECT_FALSE(std::regex_search(line.begin() + 1, line.end(), stamp)) << line.substr(0, 80);
    }
    EXPECT_EQ(server.terminate(), 0);
}

}  // namespace
