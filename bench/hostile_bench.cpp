// hostile_bench --server EXECUTABLE --data FOLDER [--mode time|memory|all] [--only NAME]
// Requests built to wear the server down, each on a freshly started server: for the time mode,
// the longest a request naming ten catalogs (and a file-name search after them) holds the worker;
// for the memory mode, the server's peak resident memory (VmHWM) and the time of a request over
// catalogs whose own schema makes fat values or that hold millions of empty disks.
// Nothing is asserted; the figures are printed next to the bounds they are meant to stay under.
#include "bench_support.h"

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using bench::Clock;

namespace {

const bench::RequestWriter request{"hostile", "hostile_bench", "v"};
constexpr const char* kGetdisks = "SELECT * FROM disks ORDER BY disk ASC;''''';getdisks";

void exec(sqlite3* db, const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string reason = error ? error : "?";
        sqlite3_free(error);
        throw std::runtime_error("making a catalog: " + reason + " in " + sql.substr(0, 200));
    }
}

// A catalog made by sql (after the two tables of the given definitions), kept once made.
std::string catalog(const std::string& folder, const std::string& name, const std::string& sql) {
    const std::string path = folder + "/" + name;
    if (fs::exists(path)) return path;
    const std::string part = path + ".part";
    fs::remove(part);
    sqlite3* db = nullptr;
    sqlite3_open(part.c_str(), &db);
    try {
        exec(db, sql);
    } catch (...) {
        sqlite3_close(db);
        throw;
    }
    sqlite3_close(db);
    fs::rename(part, path);
    return path;
}

const std::string kPlainTables =
    "CREATE TABLE disks(disk, dtype, dname, dlabel, dpath, dd);"
    "INSERT INTO disks VALUES(1, 't', 'Disk', 'l', '/', 'd');"
    "CREATE TABLE paths(ppath, name, itype, disk, size, dcr, dmd, vis, mt, mc);";

std::string rows(int count) {
    return "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < " + std::to_string(count) +
           ") INSERT INTO paths SELECT '/p/', 'f'||i, '0', 1, i, 1, 2, '1', 'T', 'C' FROM n;";
}

// A text of at least `bytes` made by doubling a 1 000-byte literal, one common table
// expression after another (nested selects would soon overflow the parser).
std::string doubled(size_t bytes) {
    std::string text = "(WITH t0(s) AS (SELECT '" + std::string(1000, 'a') + "')";
    int level = 0;
    for (size_t size = 1000; size < bytes; size *= 2, ++level)
        text += ", t" + std::to_string(level + 1) + "(s) AS (SELECT s || s FROM t" + std::to_string(level) + ")";
    return text + " SELECT s FROM t" + std::to_string(level) + ")";
}

// A LIKE that compares every position of the text with a 999-byte pattern, once for each of
// `perRow` rows of the catalog itself.
std::string slowLike(size_t textBytes, int perRow) {
    return "name = 'none' OR EXISTS (SELECT 1 FROM (SELECT name FROM paths LIMIT " + std::to_string(perRow) +
           ") p WHERE " + doubled(textBytes) + " LIKE '%" + std::string(997, 'a') + "b')";
}

// Common table expressions each joining two copies of the one before: the engine copies each
// into the statement that uses it, so that the statement doubles at each level while prepared.
std::string flattened(int levels) {
    std::string text = "name IN (WITH t0(n) AS (SELECT name FROM paths)";
    for (int i = 1; i <= levels; ++i)
        text += ", t" + std::to_string(i) + "(n) AS (SELECT n || n FROM t" + std::to_string(i - 1) + ")";
    return text + " SELECT n FROM t" + std::to_string(levels) + ")";
}

struct Scenario {
    std::string name, what;
    std::string command;
    std::vector<std::string> paths;
    std::string condition;
    std::string spotlight = {};  // a file-name search over the bench's own index after the catalogs
};

// A plocate index of 500 000 files named "hit-N", kept once made.
std::string namesIndex(const std::string& folder) {
    const std::string index = folder + "/names-500k.db", tree = folder + "/names-500k";
    if (fs::exists(index)) return index;
    for (int d = 0; d < 1000; ++d) {
        const std::string sub = tree + "/d" + std::to_string(d);
        fs::create_directories(sub);
        for (int f = 0; f < 500; ++f) std::ofstream(sub + "/hit-" + std::to_string(d * 500 + f));
    }
    const std::string command = "updatedb -U '" + tree + "' -o '" + index + ".part' -l no";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("updatedb failed: " + command);
    fs::rename(index + ".part", index);
    return index;
}

struct Outcome {
    double ms = 0;
    int64_t records = 0;
    size_t bytes = 0;
    bool complete = false;
    long hwmKb = 0, startHwmKb = 0;
};

long hwmKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    long kb = 0;
    for (std::string line; std::getline(status, line);) std::sscanf(line.c_str(), "VmHWM: %ld", &kb);
    return kb;
}

Outcome run(const std::string& executable, const Scenario& scenario, const std::string& folder = {}) {
    bench::ServerOptions options{.executable = executable,
                                 .folderName = "hostile-search",
                                 .settings = {{"limit_results_total", "100000"}, {"limit_results_database", "100000"}}};
    if (!scenario.spotlight.empty()) {
        options.settings.emplace_back("use_spotlight", "true");
        options.environment.emplace_back("QUORVANTEL_LOCATE_DB", namesIndex(folder));
    }
    bench::Server server(options);
    server.waitForPong(request("vaxo-ping"));
    Outcome outcome;
    outcome.startHwmKb = hwmKb(server.pid());
    bench::Connection connection(server.port());
    const auto start = Clock::now();
    connection.send(request(scenario.command, scenario.paths, scenario.condition, scenario.spotlight));
    outcome.complete = connection.receive(bench::kResultEnd);
    outcome.ms = bench::msSince(start);
    outcome.records = bench::recordCount(connection.answer());
    outcome.bytes = connection.answer().size();
    // A ping answered after the search: the worker has let go of everything it built.
    bench::Connection(server.port()).ask(request("vaxo-ping"), bench::kAnswerEnd);
    outcome.hwmKb = hwmKb(server.pid());
    return outcome;
}

// Holds an exclusive lock on a catalog for as long as it lives, as another program would.
struct ExclusiveLock {
    explicit ExclusiveLock(const std::string& path) {
        sqlite3_open(path.c_str(), &db);
        exec(db, "BEGIN EXCLUSIVE");
    }
    ~ExclusiveLock() {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    sqlite3* db = nullptr;
};

std::vector<Scenario> timeScenarios(const std::string& folder) {
    const std::string plain = catalog(folder, "plain-2000.vxo", kPlainTables + rows(2000));
    const std::string views = catalog(folder, "views-200k.vxo",
                                      kPlainTables + rows(10) +
                                          "PRAGMA writable_schema=ON; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL "
                                          "SELECT i+1 FROM n WHERE i < 200000) INSERT INTO sqlite_master SELECT "
                                          "'view', 'v'||i, 'v'||i, 0, 'CREATE VIEW v'||i||' AS SELECT a.name, "
                                          "upper(a.name) || lower(b.name) AS x FROM paths a JOIN paths b ON "
                                          "a.name = b.name ORDER BY 1' FROM n;");
    const std::string locked = catalog(folder, "locked.vxo", kPlainTables + rows(10));
    // A generated column that makes an 80 MB text and turns it to upper case, once per row read.
    const std::string generated =
        catalog(folder, "generated-upper.vxo",
                "CREATE TABLE disks(disk, dtype, dname, dlabel, dpath, dd);"
                "CREATE TABLE paths(ppath, n, itype, disk, size, dcr, dmd, vis, mt, mc,"
                " name AS (upper(hex(hex(zeroblob(20000000 + n))))));"
                "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k WHERE i < 100) "
                "INSERT INTO paths(n) SELECT i FROM k;");
    const std::vector<std::string> tenPlain(10, plain);
    return {
        {"like-96k", "LIKE, 999-byte pattern over a 96 KB doubled text, 400 times per row", "vaxo-search", tenPlain,
         slowLike(96'000, 400)},
        {"like-16m", "the same over a 16 MB text, each comparison half a minute long", "vaxo-search", tenPlain,
         slowLike(16'000'000, 1)},
        {"upper-16m", "upper() of a 16 MB doubled text for every row", "vaxo-search", tenPlain,
         "length(upper(" + doubled(16'000'000) + ")) = 0"},
        {"prepare", "a condition that doubles at each of 22 levels while it is prepared", "vaxo-search", tenPlain,
         flattened(22)},
        {"locked", "ten catalogs another process holds with an exclusive lock", "vaxo-search",
         std::vector<std::string>(10, locked), "1=1"},
        {"views", "ten catalogs of 200 000 views each, read at opening", "vaxo-search",
         std::vector<std::string>(10, views), "1=1"},
        {"generated", "generated column making an 80 MB text and its upper case per row", "vaxo-search",
         std::vector<std::string>(10, generated), "name = 'x'"},
        {"mixed", "locked, views, slow LIKE, generated, then plain", "vaxo-search",
         {locked, views, plain, generated, plain, locked, views, plain, generated, plain}, slowLike(96'000, 400)},
        {"names", "slow LIKE taking the whole bound, then a file-name search of 500 000 hits", "vaxo-search",
         tenPlain, slowLike(96'000, 400), "hit-"},
    };
}

std::vector<Scenario> memoryScenarios(const std::string& folder) {
    // About 20 KB on disk each; every value read is made by the schema.
    const std::string columns =
        catalog(folder, "fat-columns.vxo",
                "CREATE TABLE disks(disk, dtype, dname, dlabel, dpath, dd);"
                "CREATE TABLE paths(n, disk, size, dcr, dmd,"
                " ppath AS (hex(hex(zeroblob(7000000 + n)))), name AS (hex(hex(zeroblob(7000000 + n)))),"
                " itype AS (hex(hex(zeroblob(7000000 + n)))), vis AS (hex(hex(zeroblob(7000000 + n)))),"
                " mt AS (hex(hex(zeroblob(7000000 + n)))), mc AS (hex(hex(zeroblob(7000000 + n)))));"
                "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k WHERE i < 500) "
                "INSERT INTO paths(n, disk) SELECT i, 1 FROM k;");
    const std::string small =
        catalog(folder, "fat-columns-100k.vxo",
                "CREATE TABLE disks(disk, dtype, dname, dlabel, dpath, dd);"
                "CREATE TABLE paths(n, disk, size, dcr, dmd,"
                " ppath AS (hex(hex(zeroblob(24000 + n)))), name AS (hex(hex(zeroblob(24000 + n)))),"
                " itype AS (hex(hex(zeroblob(24000 + n)))), vis AS (hex(hex(zeroblob(24000 + n)))),"
                " mt AS (hex(hex(zeroblob(24000 + n)))), mc AS (hex(hex(zeroblob(24000 + n)))));"
                "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k WHERE i < 500) "
                "INSERT INTO paths(n, disk) SELECT i, 1 FROM k;");
    // Rows written before two columns were added with 90 KB defaults, which each row then reads.
    const std::string literal = "'" + std::string(90'000, 'd') + "'";
    const std::string defaults =
        catalog(folder, "fat-defaults.vxo",
                "CREATE TABLE disks(disk, dtype, dname, dlabel, dpath, dd);"
                "CREATE TABLE paths(n, disk);"
                "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k WHERE i < 500) "
                "INSERT INTO paths(n, disk) SELECT i, 1 FROM k;"
                "ALTER TABLE paths ADD COLUMN name DEFAULT " + literal + ";"
                "ALTER TABLE paths ADD COLUMN ppath DEFAULT " + literal + ";");
    // 1 000 disks of three values each, made by the schema at every read.
    const auto fatDisks = [&folder](const std::string& name, int disks, int zeros) {
        const std::string value = "(hex(hex(zeroblob(" + std::to_string(zeros) + "))))";
        return catalog(folder, name,
                       "CREATE TABLE paths(ppath, name, itype, disk, size, dcr, dmd, vis, mt, mc);"
                       "CREATE TABLE disks(disk INTEGER PRIMARY KEY, dtype, dd, dlabel AS " + value + ", dname AS " +
                           value + ", dpath AS " + value + ");"
                           "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k WHERE i < " +
                           std::to_string(disks) + ") INSERT INTO disks(disk, dtype, dd) SELECT i, 't', 'd' FROM k;");
    };
    const std::string disks = fatDisks("fat-disks-100k.vxo", 10'000, 24'000);
    const std::string bigDisks = fatDisks("fat-disks-4m.vxo", 1'000, 1'000'000);
    // Millions of disks without a single value: a small file whose disk list is what costs.
    const auto emptyDisks = [&folder](const std::string& name, int disks) {
        return catalog(folder, name,
                       "CREATE TABLE paths(ppath, name, itype, disk, size, dcr, dmd, vis, mt, mc);"
                       "INSERT INTO paths VALUES('/p/', 'a.txt', '0', 1, 1, 1, 1, '1', '', '');"
                       "CREATE TABLE disks(disk INTEGER PRIMARY KEY, dtype, dname, dlabel, dpath, dd);"
                       "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k WHERE i < " +
                           std::to_string(disks) + ") INSERT INTO disks(disk) SELECT i FROM k;");
    };
    const std::string empty5m = emptyDisks("empty-disks-5m.vxo", 5'000'000);
    const std::string empty20m = emptyDisks("empty-disks-20m.vxo", 20'000'000);
    return {
        {"empty-5m", "search of one catalog of 5 000 000 empty disks", "vaxo-search", {empty5m}, "1=1"},
        {"empty-5m-list", "getdisks browse of 5 000 000 empty disks", "vaxo-browse", {empty5m}, kGetdisks},
        {"empty-20m", "search of one catalog of 20 000 000 empty disks", "vaxo-search", {empty20m}, "1=1"},
        {"empty-20m-list", "getdisks browse of 20 000 000 empty disks", "vaxo-browse", {empty20m}, kGetdisks},
        {"columns-100k", "generated columns of ~100 KB, file named three times", "vaxo-search",
         {small, small, small}, "1=1"},
        {"columns-28m", "generated columns of 28 MB each, file named three times", "vaxo-search",
         {columns, columns, columns}, "1=1"},
        {"defaults", "two column defaults of 90 KB, file named three times", "vaxo-search",
         {defaults, defaults, defaults}, "1=1"},
        {"disks-100k", "getdisks browse over 10 000 disks of three ~100 KB values", "vaxo-browse", {disks}, kGetdisks},
        {"disks-4m", "getdisks browse over 1 000 disks of three 4 MB values", "vaxo-browse", {bigDisks}, kGetdisks},
    };
}

}  // namespace

int main(int argc, char** argv) {
    std::string executable, data, mode = "all", only;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i], value = argv[i + 1];
        if (option == "--server") executable = value;
        else if (option == "--data") data = value;
        else if (option == "--mode") mode = value;
        else if (option == "--only") only = value;
    }
    if (executable.empty() || data.empty()) {
        std::fprintf(stderr, "usage: hostile_bench --server EXECUTABLE --data FOLDER [--mode time|memory|all] [--only NAME]\n");
        return 2;
    }
    try {
        const std::string folder = fs::absolute(data).string() + "/hostile";
        fs::create_directories(folder);
        if (mode == "time" || mode == "all") {
            std::printf("Time a request holds the worker (bound: 10 s for its catalogs, target at most 11 s)\n");
            std::printf("%-11s %9s %8s %8s  %s\n", "scenario", "ms", "records", "whole", "what");
            double worst = 0;
            for (const Scenario& scenario : timeScenarios(folder)) {
                if (!only.empty() && scenario.name != only) continue;
                std::optional<ExclusiveLock> lock;
                if (scenario.name == "locked" || scenario.name == "mixed") lock.emplace(folder + "/locked.vxo");
                const Outcome outcome = run(executable, scenario, folder);
                worst = std::max(worst, outcome.ms);
                std::printf("%-11s %9.0f %8lld %8s  %s\n", scenario.name.c_str(), outcome.ms,
                            static_cast<long long>(outcome.records), outcome.complete ? "yes" : "NO",
                            scenario.what.c_str());
                std::fflush(stdout);
            }
            std::printf("worst: %.0f ms\n\n", worst);
        }
        if (mode == "memory" || mode == "all") {
            std::printf("Peak resident memory of the server (VmHWM; target under 1 GiB)\n");
            std::printf("%-14s %9s %9s %8s %8s %11s %8s  %s\n", "scenario", "start MB", "peak MB", "ms", "records",
                        "answer MB", "whole", "what");
            for (const Scenario& scenario : memoryScenarios(folder)) {
                if (!only.empty() && scenario.name != only) continue;
                const Outcome outcome = run(executable, scenario);
                std::printf("%-14s %9.1f %9.1f %8.0f %8lld %11.1f %8s  %s\n", scenario.name.c_str(),
                            outcome.startHwmKb / 1024.0, outcome.hwmKb / 1024.0, outcome.ms,
                            static_cast<long long>(outcome.records), outcome.bytes / 1048576.0,
                            outcome.complete ? "yes" : "NO", scenario.what.c_str());
                std::fflush(stdout);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "hostile_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
