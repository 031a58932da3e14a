// The real server under faults from outside: clients that leave before their answer, catalog
// files that are damaged, vanish or are no files at all, log and settings files that cannot be
// written, a preferences database that another process keeps locked, and SIGTERM in the middle of
// searches. Each time the server has to go on serving, or end cleanly, without losing data.

#include "test_support/fault_tools.h"
#include "test_support/server_process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_support::ServerProcess;

// "needle" rows are rare, so every search scans every row of every catalog it names.
constexpr char kNeedles[] = "name LIKE '%needle%'";
constexpr int kBigRows = 200'000;
constexpr int kBigNeedles = 4;
constexpr int kSmallNeedles = 4;
// Copies of the big catalog in one request keep the worker busy for a while, far below the time
// bound of a request, so that every search still runs to its end.
constexpr size_t kSlowCopies = 8;

std::string conditionNumbered(int n) { return std::string(kNeedles) + " AND " + std::to_string(n) + "=" + std::to_string(n); }

bool serving(int port) {
    return test_support::waitFor([port] { return test_support::pingAnswered(port); });
}

std::string search(int port, const std::vector<std::string>& paths, const std::string& condition = kNeedles) {
    // Bounded, so that a worker stuck on one case ends the test instead of every case after it.
    return test_support::exchange(port, test_support::searchRequest(paths, condition), "</result>\n", 10000);
}

// A preferences database beside the application's folder, in the test's private parent, naming
// two small default catalogs with row ids that a rewrite would renumber.
struct PreferencesLayout {
    fs::path preferences;
    std::string a, b;
};

bool preparePreferences(ServerProcess& server, int port, PreferencesLayout& layout) {
    layout.preferences = server.parentFolder() / "preferences";
    layout.a = (server.parentFolder() / "a.vxo").string();
    layout.b = (server.parentFolder() / "b.vxo").string();
    server.writeFile("preferences-server.xml", test_support::settingsText(port));
    return test_support::makeCatalog(layout.a, 400, 100) && test_support::makeCatalog(layout.b, 400, 100) &&
           test_support::executeSql(layout.preferences,
                                    "CREATE TABLE DefDBs(paths TEXT); CREATE TABLE dbTarget(path TEXT);"
                                    "CREATE TABLE useDefDBs(io INTEGER); CREATE TABLE defFont(name TEXT);"
                                    "INSERT INTO DefDBs(rowid, paths) VALUES (7, '" + layout.a + "'), (9, '" + layout.b + "');"
                                    "INSERT INTO dbTarget VALUES ('" + server.parentFolder().string() + "');"
                                    "INSERT INTO useDefDBs VALUES (0); INSERT INTO defFont VALUES ('Geneva');");
}

class FaultProcess : public ::testing::Test {
 protected:
    // One big and two small catalogs for the whole suite; tests that damage a catalog use copies.
    static void SetUpTestSuite() {
        std::string pattern = (fs::temp_directory_path() / "quorvantel-fault-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) return;
        shared_ = pattern;
        catalogsMade_ = test_support::makeCatalog(big(), kBigRows, kBigRows / kBigNeedles) &&
                        test_support::makeCatalog(smallA(), 2000, 2000 / kSmallNeedles) &&
                        test_support::makeCatalog(smallC(), 2000, 2000 / kSmallNeedles);
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        if (!shared_.empty()) fs::remove_all(shared_, ignored);
    }
    void SetUp() override { ASSERT_TRUE(catalogsMade_) << "the suite's catalogs could not be made in " << shared_; }

    static std::string big() { return (shared_ / "big.vxo").string(); }
    static std::string smallA() { return (shared_ / "a.vxo").string(); }
    static std::string smallC() { return (shared_ / "c.vxo").string(); }

    // A server in its own folder on a free port, answering pings.
    static bool startServing(ServerProcess& server, int& port, int totalLimit = 2000) {
        port = test_support::freePort();
        server.writeFile("preferences-server.xml", test_support::settingsText(port, totalLimit));
        return server.start() && serving(port);
    }

 private:
    static inline fs::path shared_;
    static inline bool catalogsMade_ = false;
};

TEST_F(FaultProcess, ClientThatLeavesBeforeItsAnswerLeavesTheServerServing) {
    ServerProcess server;
    int port = 0;
    ASSERT_TRUE(startServing(server, port));
    const std::vector<std::string> slow(kSlowCopies, big());
    // More leavers than the connection limit (10): a place that a gone client held must be free again.
    const struct {
        const char* how;
        bool reset;
    } cases[] = {{"closes its side", false}, {"resets the connection", true}};
    constexpr int kLeaversPerCase = 6;
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        for (int i = 0; i < kLeaversPerCase; ++i) {
            test_support::Client leaver;
            ASSERT_TRUE(leaver.open(port));
            ASSERT_TRUE(leaver.send(test_support::searchRequest(slow, conditionNumbered(++n))));
            leaver.close(c.reset);
        }
    }
    // A ping is answered at once, while the worker still serves the searches of the gone clients.
    EXPECT_TRUE(test_support::pingAnswered(port));
    const std::string answer = search(port, {smallA()});
    ASSERT_TRUE(test_support::isCompleteSearchAnswer(answer)) << answer;
    EXPECT_EQ(test_support::recordsPerCatalog(answer), (std::map<std::string, int>{{smallA(), kSmallNeedles}}));

    // Every search of a gone client was still run to its end and logged, in arrival order.
    const std::string results = "; results: " + std::to_string(kSlowCopies * kBigNeedles) + "; ticks: ";
    size_t previous = 0;
    for (int i = 1; i <= n; ++i) {
        const std::string line = "SQL action: Query: " + conditionNumbered(i) + results;
        ASSERT_TRUE(server.waitForLogLine(line)) << line << "\n" << server.logText();
        const size_t at = server.logText().find(line);
        EXPECT_GT(at, previous) << line;
        previous = at;
    }
    EXPECT_EQ(server.terminate(), 0);
}

TEST_F(FaultProcess, DamagedCatalogBeforeTheSearchIsLeftOutOfAWholeAnswer) {
    ServerProcess server;
    int port = 0;
    ASSERT_TRUE(startServing(server, port));
    const struct {
        const char* damage;
        std::function<bool(const fs::path&)> apply;
    } cases[] = {
        {"deleted", [](const fs::path& f) { return fs::remove(f); }},
        {"truncated to 100 bytes",
         [](const fs::path& f) {
             fs::resize_file(f, 100);
             return true;
         }},
        {"emptied",
         [](const fs::path& f) {
             fs::resize_file(f, 0);
             return true;
         }},
        {"random bytes over its middle", [](const fs::path& f) { return test_support::scribbleOverMiddle(f, 16384, 20240601); }},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.damage);
        const std::string victim = (server.parentFolder() / ("victim" + std::to_string(++n) + ".vxo")).string();
        ASSERT_TRUE(test_support::makeCatalog(victim, 20000, 20000 / kSmallNeedles));
        const std::vector<std::string> paths = {smallA(), victim, smallC()};
        // Before the damage the catalog is read like the others.
        EXPECT_EQ(test_support::recordsPerCatalog(search(port, paths)),
                  (std::map<std::string, int>{{smallA(), kSmallNeedles}, {victim, kSmallNeedles}, {smallC(), kSmallNeedles}}));

        ASSERT_TRUE(c.apply(victim));
        const std::string answer = search(port, paths);
        ASSERT_TRUE(test_support::isCompleteSearchAnswer(answer)) << answer;
        EXPECT_EQ(test_support::recordsPerCatalog(answer),
                  (std::map<std::string, int>{{smallA(), kSmallNeedles}, {smallC(), kSmallNeedles}}));
        EXPECT_TRUE(test_support::pingAnswered(port));
    }
    EXPECT_EQ(server.terminate(), 0);
}

TEST_F(FaultProcess, CatalogDamagedWhileASearchRunsNeverGivesPartOfIt) {
    ServerProcess server;
    int port = 0;
    // Room for every copy's rows below the total limit, so that no copy turns into an over-limit record.
    ASSERT_TRUE(startServing(server, port, 100'000));
    const struct {
        const char* damage;
        std::function<void(const fs::path&)> apply;
    } cases[] = {
        {"deleted", [](const fs::path& f) { fs::remove(f); }},
        {"truncated to 100 bytes", [](const fs::path& f) { fs::resize_file(f, 100); }},
    };
    // Matches spread over the whole file up to the per-catalog limit: the select that gathers them
    // reads the file from its start to its end.
    constexpr int kPerCatalogLimit = 500;
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.damage);
        const fs::path victim = server.parentFolder() / ("victim" + std::to_string(++n) + ".vxo");
        ASSERT_TRUE(test_support::makeCatalog(victim, kBigRows, kBigRows / kPerCatalogLimit));
        // The victim several times over: readings before, during and after the damage in one request.
        std::vector<std::string> paths(kSlowCopies, victim.string());
        paths.push_back(smallC());
        const std::string condition = conditionNumbered(n);
        test_support::Client client;
        ASSERT_TRUE(client.open(port));
        ASSERT_TRUE(client.send(test_support::searchRequest(paths, condition)));
        // Damaged while the worker holds the victim open, once it has read more than the whole file
        // (the count) and so is in the middle of gathering the rows; should that never be seen, the
        // damage still comes somewhere within the request.
        const pid_t reader = test_support::processHoldingOpen(victim);
        ASSERT_GT(reader, 0);
        test_support::waitUntilProcessReads(reader, static_cast<long long>(fs::file_size(victim)) * 13 / 10);
        c.apply(victim);

        const std::string answer = client.readUntil("</result>\n", 10000);
        ASSERT_TRUE(test_support::isCompleteSearchAnswer(answer)) << answer;
        auto counts = test_support::recordsPerCatalog(answer);
        EXPECT_EQ(counts[smallC()], kSmallNeedles);
        const int fromVictim = counts[victim.string()];
        RecordProperty(std::string("records from the ") + c.damage + " catalog", fromVictim);
        // Each reading of the victim gives all its rows or none: a select cut short adds nothing.
        EXPECT_EQ(fromVictim % kPerCatalogLimit, 0) << answer;
        EXPECT_LE(fromVictim, static_cast<int>(kSlowCopies) * kPerCatalogLimit);
        counts.erase(smallC());
        counts.erase(victim.string());
        EXPECT_TRUE(counts.empty()) << answer;
        // The log counts exactly the records that were sent.
        EXPECT_TRUE(server.waitForLogLine("SQL action: Query: " + condition + "; results: " +
                                          std::to_string(fromVictim + kSmallNeedles) + "; ticks: "))
            << server.logText();

        EXPECT_TRUE(test_support::pingAnswered(port));
        EXPECT_EQ(test_support::recordsPerCatalog(search(port, {smallC()})),
                  (std::map<std::string, int>{{smallC(), kSmallNeedles}}));
    }
    EXPECT_EQ(server.terminate(), 0);
}

TEST_F(FaultProcess, PathThatIsNoRegularFileAddsNothingAndBlocksNothing) {
    ServerProcess server;
    int port = 0;
    ASSERT_TRUE(startServing(server, port));
    const fs::path fifo = server.parentFolder() / "pipe.vxo";
    const fs::path folder = server.parentFolder() / "folder.vxo";
    const fs::path linkToZero = server.parentFolder() / "zero-link.vxo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    fs::create_directory(folder);
    fs::create_symlink("/dev/zero", linkToZero);
    const std::vector<std::string> notFiles = {fifo.string(), "/dev/zero", "/dev/null", folder.string(), linkToZero.string()};
    for (const std::string& notFile : notFiles) {
        SCOPED_TRACE(notFile);
        // A worker stuck on one of them would leave this answer, or the next case's, unanswered.
        const std::string answer = search(port, {smallA(), notFile, smallC()});
        ASSERT_TRUE(test_support::isCompleteSearchAnswer(answer)) << answer;
        EXPECT_EQ(test_support::recordsPerCatalog(answer),
                  (std::map<std::string, int>{{smallA(), kSmallNeedles}, {smallC(), kSmallNeedles}}));
        EXPECT_TRUE(test_support::pingAnswered(port));
    }
    const std::string allAtOnce = search(port, notFiles);
    EXPECT_TRUE(test_support::isCompleteSearchAnswer(allAtOnce)) << allAtOnce;
    EXPECT_TRUE(test_support::recordLines(allAtOnce).empty()) << allAtOnce;
    EXPECT_EQ(test_support::recordsPerCatalog(search(port, {smallC()})),
              (std::map<std::string, int>{{smallC(), kSmallNeedles}}));
    EXPECT_EQ(server.terminate(), 0);
}

TEST_F(FaultProcess, LogThatCannotBeWrittenNeitherStopsNorChangesAnything) {
    const struct {
        const char* what;
        bool immutableFolder;
    } cases[] = {{"the month's log file leads to /dev/full", false}, {"the log folder is immutable", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ServerProcess server;
        const fs::path logs = server.folder() / "logs";
        fs::create_directory(logs);
        // Never read through ServerProcess::logText here: it would read /dev/full without end.
        if (c.immutableFolder)
            server.writeFile("logs/serverlog-2001-01.log", "2001-01-01 00:00:00: an old line\n");
        else
            fs::create_symlink("/dev/full", logs / test_support::currentLogFileName());
        std::optional<test_support::ImmutableFlag> immutable;
        if (c.immutableFolder && !immutable.emplace(logs).active()) GTEST_SKIP() << "chattr +i is not available here";
        const auto before = test_support::folderSnapshot(logs);

        int port = 0;
        ASSERT_TRUE(startServing(server, port)) << server.standardError();
        const std::string answer = search(port, {smallA()});
        ASSERT_TRUE(test_support::isCompleteSearchAnswer(answer)) << answer;
        EXPECT_EQ(test_support::recordsPerCatalog(answer), (std::map<std::string, int>{{smallA(), kSmallNeedles}}));
        EXPECT_TRUE(test_support::pingAnswered(port));
        EXPECT_EQ(test_support::folderSnapshot(logs), before);

        EXPECT_EQ(server.terminate(), 0);
        EXPECT_EQ(test_support::folderSnapshot(logs), before);
        // A log that fails is never reported in a message box.
        EXPECT_EQ(server.standardError().find("quorvantel-server:"), std::string::npos) << server.standardError();
    }
}

TEST_F(FaultProcess, ImmutableSettingsFileIsReadAndNeverRewritten) {
    ServerProcess server;
    const int port = test_support::freePort();
    const std::string settings = test_support::settingsText(port, 1500, 400);
    server.writeFile("preferences-server.xml", settings);
    const test_support::ImmutableFlag immutable(server.folder() / "preferences-server.xml");
    if (!immutable.active()) GTEST_SKIP() << "chattr +i is not available here";

    ASSERT_TRUE(server.start());
    ASSERT_TRUE(serving(port)) << server.standardError();
    EXPECT_TRUE(server.waitForLogLine("settings - maxcon:10 / maxrestotal:1500 / maxresdb:400"));
    EXPECT_EQ(server.terminate(), 0);
    EXPECT_EQ(test_support::folderSnapshot(server.folder())["preferences-server.xml"], "file: " + settings);
    EXPECT_FALSE(fs::exists(server.folder() / ".preferences-server.xml.new"));
}

TEST_F(FaultProcess, ImmutableAppFolderWithoutSettingsStartsWithTheDefaults) {
    ServerProcess server;
    if (!test_support::portIsFree(7000)) GTEST_SKIP() << "port 7000 is taken on this machine";
    // The log folder exists beforehand and stays writable, so that the start can be followed.
    fs::create_directory(server.folder() / "logs");
    const test_support::ImmutableFlag immutable(server.folder());
    if (!immutable.active()) GTEST_SKIP() << "chattr +i is not available here";

    ASSERT_TRUE(server.start());
    // The pong has to come from this server, not from another one that took the port meanwhile.
    const bool ours = serving(7000) && server.waitForLogLine("ping: tester (fault test)");
    if (!ours && server.standardError().find("quorvantel-server:") != std::string::npos)
        GTEST_SKIP() << "port 7000 was taken meanwhile: " << server.standardError();
    ASSERT_TRUE(ours) << server.standardError();
    EXPECT_TRUE(server.waitForLogLine("settings - maxcon:10 / maxrestotal:2000 / maxresdb:500"));
    const std::string answer = search(7000, {smallA()});
    ASSERT_TRUE(test_support::isCompleteSearchAnswer(answer)) << answer;
    EXPECT_EQ(test_support::recordsPerCatalog(answer), (std::map<std::string, int>{{smallA(), kSmallNeedles}}));
    EXPECT_EQ(server.terminate(), 0);
    EXPECT_TRUE(server.waitForLogLine("QUIT ---- Quorvantel server quit"));
    // Neither the settings file nor a half-written replacement of it.
    EXPECT_EQ(test_support::folderSnapshot(server.folder()), (std::map<std::string, std::string>{{"logs", "folder"}}));
}

TEST_F(FaultProcess, PreferencesLockedByAnotherProcessAtQuitLoseNothing) {
    const struct {
        const char* lock;
        const char* sql;
    } cases[] = {
        {"exclusive", "BEGIN EXCLUSIVE"},
        {"reserved", "BEGIN IMMEDIATE"},
        {"shared, which lets the write begin and stops its commit", "BEGIN; SELECT COUNT(*) FROM DefDBs"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lock);
        ServerProcess server;
        const int port = test_support::freePort();
        PreferencesLayout layout;
        ASSERT_TRUE(preparePreferences(server, port, layout));
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(serving(port)) << server.standardError();

        test_support::LockHolder holder;
        ASSERT_TRUE(holder.start(layout.preferences, c.sql));
        // The write waits for the lock a little, gives up and reports it; the quit goes on.
        EXPECT_EQ(server.terminate(), 0);
        EXPECT_NE(server.standardError().find("quorvantel-server: writePrefs"), std::string::npos) << server.standardError();
        EXPECT_NE(server.logText().find("QUIT ---- Quorvantel server quit"), std::string::npos);
        EXPECT_TRUE(holder.release());
        EXPECT_EQ(test_support::storedDefaults(layout.preferences),
                  (std::vector<std::string>{"7 " + layout.a, "9 " + layout.b}));
    }
}

TEST_F(FaultProcess, SigtermWhileSearchesRunEndsCleanlyAndSavesTheDefaults) {
    ServerProcess server;
    const int port = test_support::freePort();
    PreferencesLayout layout;
    ASSERT_TRUE(preparePreferences(server, port, layout));
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(serving(port)) << server.standardError();

    const std::vector<std::string> slow(kSlowCopies, big());
    constexpr int kClients = 5;
    std::vector<std::unique_ptr<test_support::Client>> clients;
    for (int i = 1; i <= kClients; ++i) {
        clients.push_back(std::make_unique<test_support::Client>());
        ASSERT_TRUE(clients.back()->open(port));
        ASSERT_TRUE(clients.back()->send(test_support::searchRequest(slow, conditionNumbered(i))));
    }
    for (int i = 1; i <= kClients; ++i)
        ASSERT_TRUE(server.waitForLogLine("SQL:" + conditionNumbered(i) + " dbs: "));

    // terminate() waits a bounded time; a server still running then counts as a failure.
    ASSERT_EQ(server.terminate(), 0) << server.standardError();
    const std::string log = server.logText();
    EXPECT_NE(log.find("QUIT ---- Quorvantel server quit"), std::string::npos) << log;
    EXPECT_EQ(test_support::storedDefaults(layout.preferences), (std::vector<std::string>{"1 " + layout.a, "2 " + layout.b}));
    EXPECT_EQ(server.standardError().find("quorvantel-server:"), std::string::npos) << server.standardError();
    // A client gets its whole answer or none, never a part of one.
    int answered = 0;
    for (auto& client : clients) {
        const std::string answer = client->readUntil("</result>\n", 5000);
        EXPECT_TRUE(answer.empty() || test_support::isCompleteSearchAnswer(answer)) << answer;
        answered += answer.empty() ? 0 : 1;
    }
    RecordProperty("searches answered before the end", answered);
}

}  // namespace
