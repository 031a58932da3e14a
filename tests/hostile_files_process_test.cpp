// The real server against files that are not what they seem: catalogs whose journal, WAL or
// shared-memory file is a FIFO or a folder, a catalog swapped with a FIFO while it is searched, a
// preferences database that another program holds or whose list never ends, and a quit while the
// worker is stuck. Each time the server answers, ends when told, and keeps the operator's list.

#include "test_support/server_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace test_support;
using namespace std::chrono_literals;
using Counts = std::map<std::string, int>;
using Strings = std::vector<std::string>;

constexpr char kNeedles[] = "name LIKE '%needle%'";
constexpr int kRows = 400, kFound = 4;

bool catalog(const fs::path& file, bool wal = false) {
    return makeNeedleCatalog(file, kRows, kRows / kFound) &&
           (!wal || Sql(file)("PRAGMA journal_mode=WAL") == Strings{"wal"});
}

// A reader waiting on a FIFO (an older build of the server, plocate) is let go, so that nothing
// outlives the test.
void releaseReaders(const fs::path& fifo) {
    if (const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK); fd >= 0) ::close(fd);
}

// The records per catalog of one search, which has to come whole; nothing when it does not come.
std::optional<Counts> search(int port, const Strings& paths) {
    const std::string answer = exchange(port, request("vaxo-search", paths, kNeedles), "</result>\n", 20000);
    if (!isCompleteSearchAnswer(answer)) return std::nullopt;
    return recordsPerCatalog(answer);
}

TEST(HostileFiles, CatalogWhoseSideFileIsNoRegularFileIsSkippedAndTheNextOneServed) {
    ServerProcess server;
    ASSERT_TRUE(server.serve());
    const fs::path dir = server.parentFolder();
    const std::string sound = dir / "sound.vxo";
    ASSERT_TRUE(catalog(sound));
    const struct {
        const char* name;
        bool wal;
        const char* side;
        bool fifo, served;  // fifo false: a folder
    } cases[] = {
        {"rollback", false, "", false, true},       {"wal", true, "", false, true},
        {"fifo journal", false, "-journal", true, false}, {"folder journal", false, "-journal", false, false},
        {"fifo wal", true, "-wal", true, false},    {"fifo shm", true, "-shm", true, false},
    };
    std::vector<fs::path> fifos;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string name = c.name;
        std::replace(name.begin(), name.end(), ' ', '-');
        const std::string victim = dir / (name + ".vxo");
        ASSERT_TRUE(catalog(victim, c.wal));
        const fs::path side = victim + c.side;
        if (c.fifo) ASSERT_EQ(::mkfifo(fifos.emplace_back(side).c_str(), 0644), 0);
        else if (*c.side) fs::create_directory(side);
        Counts expected = {{sound, kFound}};
        if (c.served) expected[victim] = kFound;
        EXPECT_EQ(search(server.port(), {victim, sound}), expected);
        // The worker is free for the next request, which is served in full.
        EXPECT_EQ(search(server.port(), {sound}), (Counts{{sound, kFound}}));
    }
    EXPECT_EQ(server.terminate(), 0);
    for (const fs::path& fifo : fifos) releaseReaders(fifo);
}

TEST(HostileFiles, CatalogSwappedWithAFifoWhileItIsSearchedIsAnsweredEveryTime) {
    ServerProcess server;
    ASSERT_TRUE(server.serve());
    const fs::path dir = server.parentFolder();
    const std::string swapped = dir / "swapped.vxo", fifo = dir / "fifo.vxo", sound = dir / "sound.vxo";
    ASSERT_TRUE(catalog(swapped) && catalog(sound));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);

    // The two names trade places as fast as the system allows, for a bounded time.
    std::atomic<bool> stop = false;
    std::atomic<long> swaps = 0;
    std::thread swapper([&] {
        for (const auto end = std::chrono::steady_clock::now() + 4s; !stop && std::chrono::steady_clock::now() < end;)
            if (::renameat2(AT_FDCWD, swapped.c_str(), AT_FDCWD, fifo.c_str(), RENAME_EXCHANGE) == 0) ++swaps;
    });
    int sent = 0, answered = 0, withSwapped = 0;
    for (const auto end = std::chrono::steady_clock::now() + 3s; std::chrono::steady_clock::now() < end && sent == answered;) {
        ++sent;
        const auto counts = search(server.port(), {swapped, sound});
        if (!counts) continue;
        ++answered;
        EXPECT_EQ(counts->count(sound) ? counts->at(sound) : 0, kFound);
        withSwapped += counts->count(swapped);
    }
    stop = true;
    swapper.join();
    EXPECT_EQ(answered, sent);
    EXPECT_GT(swaps.load(), 0);
    RecordProperty("searches", sent);
    RecordProperty("foundInPlace", withSwapped);
    EXPECT_EQ(search(server.port(), {sound}), (Counts{{sound, kFound}}));
    EXPECT_EQ(server.terminate(), 0);
    for (const std::string& path : {swapped, fifo}) releaseReaders(path);
}

TEST(HostileFiles, QuitEndsSoonWhateverTheWorkerIsDoingAndSavesTheDefaultsFirst) {
    const test_support::TemporaryFolder shared{"qv-hostile"};
    const fs::path big = shared.path() / "big.vxo";
    ASSERT_TRUE(makeNeedleCatalog(big, 300'000, 300'000));
    const struct {
        const char* name;
        bool fileNameIndexIsFifo;
    } cases[] = {
        // plocate waits for ever on an index that is a FIFO, and the worker with it.
        {"waiting on the file-name index", true},
        // Far more copies than one request's time lets it read.
        {"in a long search", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServerProcess server;
        const fs::path index = server.parentFolder() / "index.db", preferences = server.parentFolder() / "preferences";
        Strings defaults;
        for (const char* name : {"a.vxo", "b.vxo"}) ASSERT_TRUE(catalog(defaults.emplace_back(server.parentFolder() / name)));
        ASSERT_TRUE(writePreferences(preferences, defaults));
        ASSERT_EQ(::mkfifo(index.c_str(), 0644), 0);
        const ScopedEnv locate("QUORVANTEL_LOCATE_DB", index.c_str());
        const int port = freePort();
        std::string settings = settingsText(port);
        settings.replace(settings.find("\"false\""), 7, "\"true\"");
        server.writeFile("preferences-server.xml", settings);
        ASSERT_TRUE(server.start() && waitFor([port] { return pingAnswered(port); }));

        Client client;
        const std::string slow = "name GLOB '*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b' OR size * size > 0";
        ASSERT_TRUE(client.open(port) &&
                    client.send(c.fileNameIndexIsFifo ? request("vaxo-search", {}, "", "v", "tester", "needle")
                                                      : request("vaxo-search", Strings(400, big), slow)));
        ASSERT_TRUE(server.waitForLogLine("SQL:"));
        std::this_thread::sleep_for(500ms);  // into the search
        // terminate() waits 15 s at most and counts a server still running as a failure.
        EXPECT_EQ(server.terminate(), 0);
        releaseReaders(index);
        EXPECT_NE(server.logText().find("QUIT ---- Quorvantel server quit"), std::string::npos);
        EXPECT_NE(server.standardOutput().find("QUIT ---- Quorvantel server quit"), std::string::npos);
        EXPECT_EQ(storedDefaults(preferences), (Strings{"1 " + defaults[0], "2 " + defaults[1]}));
        EXPECT_EQ(client.read("</result>\n", SIZE_MAX, 2000), "");
    }
}

TEST(HostileFiles, DefaultListThatCannotBeReadAtStartIsReportedAndKeptWhole) {
    const struct {
        const char* name;
        const char* atStart;  // run by another program on the preferences database
        bool read;
    } cases[] = {
        {"sound", "", true},
        {"held by another program", "BEGIN EXCLUSIVE", false},
        {"endless", "ALTER TABLE DefDBs RENAME TO kept; CREATE VIEW DefDBs(paths) AS WITH RECURSIVE n(i) AS "
                    "(SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT '/x' || i FROM n", false},
        {"with a FIFO journal", "<fifo>", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServerProcess server;
        const fs::path preferences = server.parentFolder() / "preferences", journal = preferences.string() + "-journal";
        Strings defaults;
        for (const char* name : {"a.vxo", "b.vxo"}) ASSERT_TRUE(catalog(defaults.emplace_back(server.parentFolder() / name)));
        ASSERT_TRUE(writePreferences(preferences, defaults));
        std::optional<Sql> other(std::in_place, preferences);
        if (c.atStart == std::string_view("<fifo>")) ASSERT_EQ(::mkfifo(journal.c_str(), 0644), 0);
        else if (*c.atStart) (*other)(c.atStart);

        // Listens within serve()'s wait of 10 s, whatever the file holds.
        const bool listening = server.serve();
        other.reset();
        releaseReaders(journal);
        fs::remove(journal);
        ASSERT_TRUE(listening);
        EXPECT_EQ(linesStartingWith(exchange(server.port(), request("vaxo-getlist"), "</answer>\n"), "<database ").size(),
                  c.read ? 2U : 0U);
        EXPECT_EQ(server.terminate(), 0);
        EXPECT_EQ(server.standardError().find("quorvantel-server: readPrefs") != std::string::npos, !c.read)
            << server.standardError();
        // Rewritten after a sound read (row ids from 1), else left with its own rows (from 7).
        const std::string table = std::string_view(c.name) == "endless" ? "kept" : "DefDBs";
        EXPECT_EQ(Sql(preferences)("SELECT rowid || ' ' || paths FROM " + table + " ORDER BY rowid"),
                  (Strings{(c.read ? "1 " : "7 ") + defaults[0], (c.read ? "2 " : "8 ") + defaults[1]}));
    }
}

}  // namespace
