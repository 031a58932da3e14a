// The server as an operator runs it: the real executable in a temporary application folder,
// without a display, checked through its files, its port, its log, its standard output and its
// exit status; then under faults from outside: clients that leave before their answer, catalog
// files that are damaged, vanish or are no files at all, log and settings files that cannot be
// written, a standard output closed or full, a preferences database that another process keeps
// locked, and SIGTERM in the middle of searches.
// Each time the server has to go on serving, or end cleanly, without losing data.

#include "test_support/server_process.h"
#include "test_support/programs.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <QNetworkInterface>
#include <QTcpServer>

#include <chrono>
#include <fstream>
#include <optional>
#include <random>
#include <regex>

namespace {

namespace fs = std::filesystem;
using namespace test_support;
using namespace std::chrono_literals;
using Counts = std::map<std::string, int>;
using Damage = std::function<void(const fs::path&)>;

std::string firstIPv4Address() {
    for (const QHostAddress& address : QNetworkInterface::allAddresses())
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address.toString().toStdString();
    return "127.0.0.1";
}

TEST(ServerProcess, FirstStartWritesDefaultsLogsAndQuitsOnSigterm) {
    ServerProcess server;
    const DefaultPortLock portLock;
    if (!defaultPortFreeOrFailOnCi()) GTEST_SKIP() << "port 7000 is taken on this machine";
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(server.waitForLogLine("settings - maxcon:"));
    EXPECT_EQ(readFile(server.folder() / "preferences-server.xml"), settingsText(7000));
    EXPECT_TRUE(Client().open(7000));
    ASSERT_EQ(server.terminate(), 0);
    const std::string stamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}: )";
    EXPECT_TRUE(std::regex_match(
        server.logText(), std::regex(stamp + "START ---- server is ready - " + firstIPv4Address() + ":7000\n" + stamp +
                                     "settings - maxcon:10 / maxrestotal:2000 / maxresdb:500\n" + stamp +
                                     "QUIT ---- Quorvantel server quit\n")))
        << server.logText();
}

TEST(ServerProcess, SettingsFileChoosesPortAndLimitsAndIsNeverRewritten) {
    ServerProcess server;
    ASSERT_TRUE(server.serve(10, 900, 500));
    EXPECT_TRUE(server.waitForLogLine(":" + std::to_string(server.port()) + "\n"));
    EXPECT_TRUE(server.waitForLogLine("settings - maxcon:10 / maxrestotal:900 / maxresdb:500"));
    EXPECT_EQ(server.terminate(), 0);
    EXPECT_EQ(readFile(server.folder() / "preferences-server.xml"), settingsText(server.port(), 10, 900));
}

TEST(ServerProcess, SettingsThatCannotBeUsedNeverStopStartUp) {
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, 0));
    const int port = freePort(), taken = occupant.serverPort();
    const std::string head = "<settings><variable name=\"port\" value=\"" + std::to_string(port) + "\" />";
    const std::string total = "<variable name=\"limit_results_total\" value=\"";
    const struct {
        std::string content;  // empty: a folder where the file should be, which leaves every default
        int port;
        const char *settings, *error;  // without a display a message box goes to standard error
    } cases[] = {
        {head + "<variable name=\"limit_connections\" value=\"3\"", port, "maxcon:10 /", ""},  // no closing "/>"
        {head + "<variable name=\"limit_connections\" value=\"many\" />", port, "maxcon:0 /", ""},
        {head + total + "5\" />" + total + "6\" />", port, "maxrestotal:6 /", ""},
        {"", 7000, "maxcon:10 / maxrestotal:2000 / maxresdb:500", ""},
        {settingsText(taken), taken, "maxcon:10 /", "quorvantel-server: 8"},  // its port in use
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        // Its server takes the default port, where the tests that need that port free must not meet it.
        std::optional<DefaultPortLock> portLock;
        if (c.port == 7000) portLock.emplace();
        ServerProcess server;
        if (c.content.empty()) fs::create_directory(server.folder() / "preferences-server.xml");
        server.writeFile("preferences-server.xml", c.content);
        ASSERT_TRUE(server.start());
        EXPECT_TRUE(server.waitForLogLine(c.settings)) << server.logText();
        EXPECT_TRUE(server.waitForLogLine(" - " + firstIPv4Address() + ":" + std::to_string(c.port) + "\n"));
        EXPECT_EQ(server.terminate(), 0);
        EXPECT_NE(server.standardError().find(c.error), std::string::npos) << server.standardError();
    }
}

// A ping whose label is `label`.
std::string pingLabelled(const std::string& label) { return "]':'[vaxo-ping]':'[fault test]':'[" + label + "]':'["; }

TEST(ServerProcess, HeadlessTheLogWindowLinesAlsoGoToStandardOutput) {
    ServerProcess server;
    ASSERT_TRUE(server.serve());
    ASSERT_TRUE(waitFor([&] { return server.standardOutput().ends_with("ping: tester (fault test) \n"); }))
        << server.standardOutput();
    const std::string stamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}: )";
    EXPECT_TRUE(std::regex_match(server.standardOutput(),
                                 std::regex(stamp + "START ---- server is ready - [0-9.]+:" +
                                            std::to_string(server.port()) + "\n" + stamp +
                                            "settings - maxcon:10 / maxrestotal:2000 / maxresdb:500\n" + stamp +
                                            "ping: tester \\(fault test\\) \n")))
        << server.standardOutput();
    EXPECT_NE(exchange(server.port(), pingLabelled(std::string(60000, 'x')), "</answer>\n").find("vaxo-pong"),
              std::string::npos);
    ASSERT_EQ(server.terminate(), 0);
    // Line for line what the log file holds, up to the quit line, a very long one cut as the log
    // window shows it.
    std::vector<std::string> expected = linesStartingWith(server.logText(), "");
    ASSERT_GT(expected.size(), 4u);
    EXPECT_EQ(expected.back().substr(21), "QUIT ---- Quorvantel server quit");
    for (std::string& line : expected)
        if (line.size() > 500)
            line = line.substr(0, 500) + " [... cut, " + std::to_string(line.size() - 500) + " more characters]";
    EXPECT_EQ(linesStartingWith(server.standardOutput(), ""), expected);
}

TEST(ServerProcess, StandardOutputClosedOrFullLeavesTheServerServing) {
    for (const bool full : {false, true}) {
        SCOPED_TRACE(full ? ">/dev/full" : "| head -1");
        ServerProcess server;
        QProcess head;
        if (full) {
            server.process().setStandardOutputFile("/dev/full");
        } else {
            server.process().setStandardOutputProcess(&head);
            head.start("head", {"-1"});  // gone after the first line, maybe before any client came
        }
        ASSERT_TRUE(server.serve());
        if (!full) {
            ASSERT_TRUE(head.waitForFinished(10000));
            EXPECT_NE(head.readAllStandardOutput().toStdString().find(": START ---- server is ready - "),
                      std::string::npos);
        }
        // Each of them logs a line that can no longer be written anywhere but in the log file.
        for (int i = 0; i < 20; ++i) {
            ASSERT_TRUE(pingAnswered(server.port()));
            ASSERT_NE(exchange(server.port(), pingLabelled(std::string(60000, '\n')), "</answer>\n").find("vaxo-pong"),
                      std::string::npos);
        }
        EXPECT_EQ(server.terminate(), 0);
        EXPECT_EQ(linesStartingWith(server.logText(), "").back().substr(21), "QUIT ---- Quorvantel server quit");
    }
}

// "needle" rows are rare, so that every search scans every row of every catalog it names.
constexpr char kNeedles[] = "name LIKE '%needle%'";
constexpr int kBigRows = 200'000, kFound = 4;  // needles in the suite's catalogs
// Copies of the big catalog in one request keep the worker busy for a while, far below the time
// bound of a request, so that every search still runs to its end.
constexpr int kSlowCopies = 8;

std::string numbered(int n) { return std::string(kNeedles) + " AND " + std::to_string(n) + "=" + std::to_string(n); }

// The records per catalog of a search, which has to come as one whole answer (it may wait behind
// slow searches on a busy machine).
Counts found(int port, const std::vector<std::string>& paths) {
    const std::string answer = exchange(port, request("vaxo-search", paths, kNeedles), "</result>\n", 60000);
    EXPECT_TRUE(isCompleteSearchAnswer(answer)) << answer;
    return recordsPerCatalog(answer);
}

// As root the immutable attribute is the one way to make a write fail.
struct Immutable {
    explicit Immutable(fs::path p) : path(std::move(p)), active(runQuietly({"chattr", "+i", path.string()}) == 0) {}
    ~Immutable() { runQuietly({"chattr", "-i", path.string()}); }
    fs::path path;
    bool active;
};

// A folder, or a file, with each entry's kind and content; never reads through a link.
std::map<std::string, std::string> snapshot(const fs::path& folder) {
    std::map<std::string, std::string> entries{{".", fs::is_directory(folder) ? "folder" : readFile(folder)}};
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        entries[it->path().filename()] = it->is_symlink()     ? "link to " + fs::read_symlink(it->path()).string()
                                         : it->is_directory() ? "folder"
                                                              : readFile(it->path());
    return entries;
}

// What the server has read so far, from files and sockets alike.
long long bytesRead(pid_t pid) {
    const std::string io = readFile("/proc/" + std::to_string(pid) + "/io");
    return std::atoll(io.c_str() + std::min(io.size(), io.find("rchar:") + 6));
}

class FaultProcess : public ::testing::Test {
 protected:
    // One big and two small catalogs for the whole suite, in the folder of a server never started.
    static void SetUpTestSuite() {
        EXPECT_TRUE(makeCatalog(shared_.emplace().parentFolder() / "big.vxo", kBigRows, kBigRows / kFound) &&
                    makeCatalog(smallA(), 2000, 2000 / kFound) && makeCatalog(smallC(), 2000, 2000 / kFound));
    }
    static void TearDownTestSuite() { shared_.reset(); }
    static std::string smallA() { return shared_->parentFolder() / "a.vxo"; }
    static std::string smallC() { return shared_->parentFolder() / "c.vxo"; }
    // Three default catalogs beside the application's folder, named by its preferences database.
    static std::vector<std::string> withDefaults(const ServerProcess& server) {
        std::vector<std::string> paths;
        for (const char* name : {"a.vxo", "b.vxo", "c.vxo"})
            EXPECT_TRUE(makeCatalog(paths.emplace_back(server.parentFolder() / name), 400, 100));
        EXPECT_TRUE(writePreferences(server.parentFolder() / "preferences", paths));
        return paths;
    }
    static inline std::optional<ServerProcess> shared_;
    const std::vector<std::string> slow = std::vector<std::string>(kSlowCopies, shared_->parentFolder() / "big.vxo");
};

TEST_F(FaultProcess, ClientsThatLeaveBeforeTheirAnswerLeaveTheServerServing) {
    ServerProcess server;
    ASSERT_TRUE(server.serve());
    // More leavers than the connection limit (10): a place that a gone client held must come free.
    for (int n = 1; n <= 12; ++n) {
        Client leaver;
        ASSERT_TRUE(leaver.open(server.port()) && leaver.send(request("vaxo-search", slow, numbered(n))));
        leaver.close(n % 2 == 0);
    }
    // A ping is answered at once, while the worker still serves the searches of the gone clients.
    EXPECT_TRUE(pingAnswered(server.port()));
    EXPECT_EQ(found(server.port(), {smallA()}), (Counts{{smallA(), kFound}}));
    // A client that closed in order cannot be told from one that only stopped sending: its
    // search is run to its end and logged, in arrival order. A client that reset is gone: its
    // search, queued behind the first, is dropped unlogged.
    const std::string results = "; results: " + std::to_string(kSlowCopies * kFound) + ";";
    EXPECT_TRUE(waitFor([&] {
        const std::string log = server.logText();
        size_t at = 0;
        for (int n = 1; n <= 11 && at != std::string::npos; n += 2)
            at = log.find("SQL action: Query: " + numbered(n) + results, at);
        return at != std::string::npos;
    }, 60s)) << server.logText();
    for (int n = 2; n <= 12; n += 2) EXPECT_EQ(server.logText().find(numbered(n) + results), std::string::npos) << n;
    EXPECT_EQ(server.terminate(), 0);
}

TEST_F(FaultProcess, CatalogThatCannotBeReadIsLeftOutOfAWholeAnswerAndBlocksNothing) {
    ServerProcess server;
    ASSERT_TRUE(server.serve());
    const fs::path dir = server.parentFolder();
    ASSERT_EQ(::mkfifo((dir / "pipe.vxo").c_str(), 0644), 0);
    fs::create_directory(dir / "folder.vxo");
    fs::create_symlink("/dev/zero", dir / "zero-link.vxo");
    std::vector<std::string> unreadable = {dir / "pipe.vxo", "/dev/zero", "/dev/null", dir / "folder.vxo",
                                           dir / "zero-link.vxo"};
    const Damage damages[] = {
        [](const fs::path& f) { fs::remove(f); },
        [](const fs::path& f) { fs::resize_file(f, 100); },
        [](const fs::path& f) { fs::resize_file(f, 0); },
        [](const fs::path& f) {  // random bytes over its middle
            std::fstream out(f, std::ios::in | std::ios::out | std::ios::binary);
            out.seekp(static_cast<std::streamoff>(fs::file_size(f) / 2 - 8192));
            std::mt19937 random(20240601);
            for (int i = 0; i < 16384; ++i) out.put(static_cast<char>(random() & 0xff));
        },
    };
    for (const Damage& damage : damages) {
        const std::string& victim =
            unreadable.emplace_back(dir / ("victim" + std::to_string(unreadable.size()) + ".vxo"));
        ASSERT_TRUE(makeCatalog(victim, 20000, 20000 / kFound));
        EXPECT_EQ(found(server.port(), {victim}), (Counts{{victim, kFound}}));
        damage(victim);
    }
    for (const std::string& path : unreadable) {
        SCOPED_TRACE(path);
        // A worker stuck on one of them would leave this answer, or the next one's, unanswered.
        EXPECT_EQ(found(server.port(), {smallA(), path, smallC()}), (Counts{{smallA(), kFound}, {smallC(), kFound}}));
    }
    EXPECT_EQ(server.terminate(), 0);
}

TEST_F(FaultProcess, CatalogDamagedWhileASearchRunsNeverGivesPartOfIt) {
    ServerProcess server;
    // Room for every copy's rows below the total limit, so that no copy turns into an over-limit record.
    ASSERT_TRUE(server.serve(10, 100'000, 500));
    const Damage damages[] = {[](const fs::path& f) { fs::remove(f); },
                              [](const fs::path& f) { fs::resize_file(f, 100); }};
    for (int n = 0; n < 2; ++n) {
        SCOPED_TRACE(n);
        // Matches spread over the whole file up to the per-catalog limit (500): the select that
        // gathers them reads the file from its start to its end.
        const std::string victim = server.parentFolder() / ("victim" + std::to_string(n) + ".vxo");
        ASSERT_TRUE(makeCatalog(victim, kBigRows, kBigRows / 500));
        // The victim several times over: readings before, during and after the damage in one request.
        std::vector<std::string> paths(kSlowCopies, victim);
        paths.push_back(smallC());
        Client client;
        const long long before = bytesRead(server.pid()), size = static_cast<long long>(fs::file_size(victim));
        ASSERT_TRUE(client.open(server.port()) && client.send(request("vaxo-search", paths, numbered(n))));
        // Damaged once the worker has read more than the whole file (the count), so in the middle
        // of gathering the rows, with nothing else to read meanwhile.
        for (const auto end = std::chrono::steady_clock::now() + 10s;
             bytesRead(server.pid()) - before < size * 13 / 10;)
            ASSERT_TRUE(std::chrono::steady_clock::now() < end) << "the server never read the catalog";
        damages[n](victim);
        const std::string answer = client.read("</result>\n", SIZE_MAX, 10000);
        ASSERT_TRUE(isCompleteSearchAnswer(answer)) << answer;
        Counts counts = recordsPerCatalog(answer);
        const int fromVictim = counts[victim];
        // Each reading of the victim gives all its rows or none: a select cut short adds nothing.
        EXPECT_EQ(fromVictim % 500, 0);
        EXPECT_LE(fromVictim, kSlowCopies * 500);
        EXPECT_EQ(counts, (Counts{{victim, fromVictim}, {smallC(), kFound}}));
        // The log counts exactly the records that were sent.
        EXPECT_TRUE(server.waitForLogLine("SQL action: Query: " + numbered(n) +
                                          "; results: " + std::to_string(fromVictim + kFound) + ";"));
        EXPECT_EQ(found(server.port(), {smallC()}), (Counts{{smallC(), kFound}}));
    }
    EXPECT_EQ(server.terminate(), 0);
}

TEST_F(FaultProcess, LogThatCannotBeWrittenNeitherStopsNorChangesAnything) {
    // A file in the log folder's place, the month's log file leading to /dev/full, an immutable
    // folder. Never read through logText here: it would read /dev/full without end.
    for (const int kind : {0, 1, 2}) {
        SCOPED_TRACE(kind);
        ServerProcess server;
        const fs::path logs = server.folder() / "logs";
        char month[32];
        const std::time_t now = std::time(nullptr);
        std::strftime(month, sizeof month, "serverlog-%Y-%m.log", std::localtime(&now));
        std::optional<Immutable> immutable;
        if (kind == 0) server.writeFile("logs", "not a folder");
        if (kind > 0) fs::create_directory(logs);
        if (kind == 1) fs::create_symlink("/dev/full", logs / month);
        if (kind == 2) server.writeFile("logs/serverlog-2001-01.log", "an old line\n");
        if (kind == 2 && !immutable.emplace(logs).active) GTEST_SKIP() << "chattr +i does not work here";
        const auto before = snapshot(logs);
        ASSERT_TRUE(server.serve()) << server.standardError();
        EXPECT_EQ(found(server.port(), {smallA()}), (Counts{{smallA(), kFound}}));
        EXPECT_EQ(server.terminate(), 0);
        EXPECT_EQ(snapshot(logs), before);
        // A log that fails is never reported in a message box.
        EXPECT_EQ(server.standardError().find("quorvantel-server:"), std::string::npos) << server.standardError();
    }
}

TEST_F(FaultProcess, ImmutableAppFolderWithoutSettingsStartsWithTheDefaultsAndWritesNothing) {
    ServerProcess server;
    const DefaultPortLock portLock;
    if (!defaultPortFreeOrFailOnCi()) GTEST_SKIP() << "port 7000 is taken on this machine";
    // The log folder exists beforehand and stays writable, so that the start can be followed.
    fs::create_directory(server.folder() / "logs");
    const Immutable immutable(server.folder());
    if (!immutable.active) GTEST_SKIP() << "chattr +i does not work here";
    ASSERT_TRUE(server.start());
    // The pong has to come from this server, not from another one that took the port meanwhile.
    ASSERT_TRUE(waitFor([] { return pingAnswered(7000); }) && server.waitForLogLine("ping: tester (fault test)"));
    EXPECT_TRUE(server.waitForLogLine("settings - maxcon:10 / maxrestotal:2000 / maxresdb:500"));
    EXPECT_EQ(found(7000, {smallA()}), (Counts{{smallA(), kFound}}));
    EXPECT_EQ(server.terminate(), 0);
    // Neither the settings file nor a half-written replacement of it.
    EXPECT_EQ(snapshot(server.folder()), (std::map<std::string, std::string>{{".", "folder"}, {"logs", "folder"}}));
}

TEST_F(FaultProcess, PreferencesLockedByAnotherProcessAtQuitLoseNothing) {
    // A shared lock lets the write begin and stops its commit; an exclusive one stops it at once.
    for (const char* lock : {"BEGIN EXCLUSIVE", "BEGIN; SELECT COUNT(*) FROM DefDBs"}) {
        SCOPED_TRACE(lock);
        ServerProcess server;
        const auto defaults = withDefaults(server);
        ASSERT_TRUE(server.serve());
        sqlite3* holder = nullptr;  // this test's process is the other one
        ASSERT_EQ(sqlite3_open((server.parentFolder() / "preferences").c_str(), &holder), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(holder, lock, nullptr, nullptr, nullptr), SQLITE_OK);
        // The write waits for the lock a little, gives up and reports it; the quit goes on.
        EXPECT_EQ(server.terminate(), 0);
        sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(holder);
        EXPECT_NE(server.standardError().find("quorvantel-server: writePrefs"), std::string::npos)
            << server.standardError();
        EXPECT_NE(server.logText().find("QUIT ---- Quorvantel server quit"), std::string::npos);
        EXPECT_EQ(storedDefaults(server.parentFolder() / "preferences"),
                  (std::vector<std::string>{"7 " + defaults[0], "8 " + defaults[1], "9 " + defaults[2]}));
    }
}

TEST_F(FaultProcess, DefaultsAreOfferedAndThoseStillThereSavedAtSigtermWhileSearchesRun) {
    ServerProcess server;
    const auto defaults = withDefaults(server);
    ASSERT_TRUE(server.serve());
    std::vector<std::string> offered;
    for (const fs::path path : defaults)
        offered.push_back("<database name=\"" + path.filename().string() + "\" path=\"" + path.string() + "\" />");
    EXPECT_EQ(linesStartingWith(exchange(server.port(), request("vaxo-getlist"), "</answer>\n"), "<database "),
              offered);
    fs::remove(defaults[2]);

    Client clients[5];
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(clients[i].open(server.port()) && clients[i].send(request("vaxo-search", slow, numbered(i))));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(server.waitForLogLine("SQL:" + numbered(i) + " dbs: "));
    // terminate() waits a bounded time; a server still running then counts as a failure.
    ASSERT_EQ(server.terminate(), 0);
    EXPECT_NE(server.logText().find("QUIT ---- Quorvantel server quit"), std::string::npos);
    EXPECT_EQ(storedDefaults(server.parentFolder() / "preferences"),
              (std::vector<std::string>{"1 " + defaults[0], "2 " + defaults[1]}));
    EXPECT_EQ(server.standardError().find("quorvantel-server:"), std::string::npos) << server.standardError();
    // A client gets its whole answer or none, never a part of one.
    for (Client& client : clients) {
        const std::string answer = client.read("</result>\n", SIZE_MAX, 5000);
        EXPECT_TRUE(answer.empty() || isCompleteSearchAnswer(answer)) << answer;
    }
}

}  // namespace
