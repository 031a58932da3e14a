// startup_bench --server EXECUTABLE [--files N] [--reps N]
// Times the server's start-up, from its launch until it answers a ping, with a preferences
// database that names a default folder of catalog files to register (dbTarget, useDefDBs 1):
// once with the folder empty, once with N files in it. The figure is the ratio to the empty
// folder, the two starts alternating in the same run, because the machine is shared and noisy.
#include "bench_support.h"

#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using bench::Clock;
using bench::median;
using bench::msSince;

namespace {

constexpr double kTargetAddedMs = 300;

const bench::RequestWriter request{"bench", "startup_bench", "benchview"};

void execute(sqlite3* db, const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string text = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error("preferences: " + text);
    }
}

// The four tables as the cataloguing application leaves them, the default list empty.
void writePreferences(const fs::path& file, const fs::path& defaultFolder) {
    fs::remove(file);
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot make " + file.string());
    }
    try {
        execute(db, "CREATE TABLE DefDBs(paths TEXT); CREATE TABLE defFont(name TEXT);"
                    "CREATE TABLE dbTarget(path TEXT); CREATE TABLE useDefDBs(io INTEGER);"
                    "INSERT INTO useDefDBs VALUES (1)");
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO dbTarget VALUES (?)", -1, &insert, nullptr);
        sqlite3_bind_text(insert, 1, defaultFolder.c_str(), -1, SQLITE_TRANSIENT);
        const int stepped = sqlite3_step(insert);
        sqlite3_finalize(insert);
        if (stepped != SQLITE_DONE) throw std::runtime_error("preferences: the folder was not stored");
    } catch (...) {
        sqlite3_close(db);
        throw;
    }
    sqlite3_close(db);
}

// Registration looks at names only, so empty files stand for catalogs here.
fs::path makeFolder(const fs::path& root, int files) {
    const fs::path folder = root / ("default-" + std::to_string(files));
    fs::create_directories(folder);
    for (int i = 0; i < files; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "catalog-%05d.vxo", i);
        std::ofstream(folder / name);
    }
    return folder;
}

struct Start {
    double ms;
    int64_t registered;
};

// bench::Server::waitForPong polls every 50 ms, too coarse for this figure: here every 1 ms.
Start startOnce(const std::string& executable) {
    const auto launched = Clock::now();
    bench::Server server({.executable = executable, .folderName = "startup", .settings = {{"use_spotlight", "false"}}});
    while (true) {
        if (!server.running()) throw std::runtime_error("the server ended at start; see " + server.outputFile().string());
        if (msSince(launched) > 120'000) throw std::runtime_error("the server did not answer a ping within 120 s");
        try {
            bench::Connection(server.port()).ask(request("vaxo-ping"), bench::kAnswerEnd);
            break;
        } catch (const std::exception&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    const double ms = msSince(launched);
    bench::Connection client(server.port());
    const std::string& list = client.ask(request("vaxo-getlist"), bench::kAnswerEnd);
    int64_t registered = 0;
    for (size_t at = list.find("<database "); at != std::string::npos; at = list.find("<database ", at + 1)) ++registered;
    server.stop();
    return {ms, registered};
}

}  // namespace

int main(int argc, char** argv) {
    std::string executable;
    int files = 4000, reps = 7;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--server") executable = argv[i + 1];
        else if (option == "--files") files = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--reps") reps = std::max(1, std::atoi(argv[i + 1]));
    }
    if (executable.empty()) {
        std::fprintf(stderr, "usage: %s --server EXECUTABLE [--files N] [--reps N]\n", argv[0]);
        return 2;
    }
    executable = fs::absolute(executable).string();
    // The server looks for "preferences" in the parent of its application folder, which
    // bench::Server makes in the temporary folder: a private one keeps it from /tmp/preferences.
    std::string pattern = (fs::temp_directory_path() / "quorvantel-startup-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::fprintf(stderr, "startup_bench: cannot make a temporary folder\n");
        return 1;
    }
    const fs::path root = pattern;
    ::setenv("TMPDIR", root.c_str(), 1);
    int status = 0;
    try {
        const fs::path empty = makeFolder(root, 0), full = makeFolder(root, files);
        const fs::path preferences = root / "preferences";
        std::vector<double> baseline, loaded;
        int64_t registeredEmpty = 0, registeredFull = 0;
        // One unmeasured start of each first: the executable and its libraries come into the cache.
        for (int rep = -1; rep < reps; ++rep) {
            writePreferences(preferences, empty);
            const Start none = startOnce(executable);
            writePreferences(preferences, full);
            const Start many = startOnce(executable);
            if (rep < 0) continue;
            baseline.push_back(none.ms);
            loaded.push_back(many.ms);
            registeredEmpty = none.registered;
            registeredFull = many.registered;
        }
        const double base = median(baseline), with = median(loaded), added = with - base;
        std::printf("start-up until the first pong, median of %d starts each, alternating\n", reps);
        std::printf("registered from the default folder: %lld of 0, %lld of %d%s\n",
                    static_cast<long long>(registeredEmpty), static_cast<long long>(registeredFull), files,
                    registeredEmpty == 0 && registeredFull == files ? "" : "  MISMATCH");
        std::printf("\n%-28s %14s %14s %7s %11s %11s  %s\n", "scenario", "server", "baseline", "ratio", "added",
                    "target", "result");
        std::printf("%-28s %11.1f ms %11.1f ms %7.3f %8.1f ms %11s  %s\n",
                    ("default folder, " + std::to_string(files) + " files").c_str(), with, base, with / base, added,
                    "< 300 ms", added < kTargetAddedMs ? "met" : "MISSED");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "startup_bench: %s\n", error.what());
        status = 1;
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return status;
}
