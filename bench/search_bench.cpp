// search_bench --server EXECUTABLE --data FOLDER [--reps N] [--only abcd]
// Starts the server in a temporary application folder and compares its searches with the same
// SQLite work done here directly. Every figure is a ratio to a baseline taken in the same run,
// measurements alternating with their baselines, because the machine is shared and noisy.
#include "bench_support.h"
#include "catalog_generator.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using bench::Clock;
using bench::Connection;
using bench::median;
using bench::msSince;
using bench::percentile;
using bench::recordCount;

namespace {

// High enough that neither gate cuts a scenario short; the direct loop mirrors both gates anyway.
constexpr int kLimitTotal = 100'000;
constexpr int kLimitDatabase = 2'000;
constexpr int kClients = 8;

const bench::RequestWriter request{"bench", "search_bench", "benchview"};

// What the server's database loop does to SQLite for one request, without building an answer:
// open read-only, disks, count, the same total gate, the limited select with every column read.
int64_t directSearch(const std::vector<std::string>& paths, const std::string& condition) {
    static std::atomic<size_t> sink{0};
    int64_t total = 0, rows = 0;
    size_t bytes = 0;
    const auto readAll = [&](sqlite3* db, const std::string& sql, int64_t* counted) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("direct: ") + sqlite3_errmsg(db));
        int64_t stepped = 0;
        while (sqlite3_step(statement) == SQLITE_ROW) {
            if (counted) *counted = sqlite3_column_int64(statement, 0);
            for (int i = 0, n = sqlite3_column_count(statement); i < n; ++i) {
                sqlite3_column_text(statement, i);
                bytes += static_cast<size_t>(sqlite3_column_bytes(statement, i));
            }
            ++stepped;
        }
        sqlite3_finalize(statement);
        return stepped;
    };
    for (const std::string& path : paths) {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            sqlite3_close(db);
            throw std::runtime_error("direct: cannot open " + path);
        }
        readAll(db, "SELECT * FROM disks ORDER BY disk ASC", nullptr);
        int64_t count = 0;
        readAll(db, "SELECT COUNT(*) FROM paths WHERE " + condition, &count);
        total += count;
        if (total < kLimitTotal)
            rows += readAll(db, "SELECT * FROM paths WHERE " + condition + " LIMIT " + std::to_string(kLimitDatabase), nullptr);
        sqlite3_close(db);
    }
    sink += bytes;
    return rows;
}

struct Row {
    std::string scenario, server, baseline;
    double ratio;
    std::string target;
    bool met;
};
std::vector<Row> table;

std::string figure(double value, const char* unit) {
    char text[64];
    std::snprintf(text, sizeof text, value < 10 ? "%.3f %s" : "%.1f %s", value, unit);
    return text;
}

// Alternates server and direct runs after one warm-up of each, so drift in machine load hits both.
void compareOneSearch(const std::string& name, Connection& client, const std::vector<std::string>& paths,
                      const std::string& condition, int reps) {
    const std::string text = request("vaxo-search", paths, condition);
    const int64_t serverRows = recordCount(client.search(text));
    const int64_t directRows = directSearch(paths, condition);
    std::vector<double> server, direct;
    for (int i = 0; i < reps; ++i) {
        auto start = Clock::now();
        client.search(text);
        server.push_back(msSince(start));
        start = Clock::now();
        directSearch(paths, condition);
        direct.push_back(msSince(start));
    }
    std::printf("%s: %s over %zu catalog(s); rows server %lld, direct %lld%s\n", name.c_str(), condition.c_str(),
                paths.size(), static_cast<long long>(serverRows), static_cast<long long>(directRows),
                serverRows == directRows ? "" : "  <-- MISMATCH");
    const double ratio = median(server) / median(direct);
    table.push_back({name, figure(median(server), "ms"), figure(median(direct), "ms"), ratio, "<= 1.10", ratio <= 1.10});
}

// Runs work on a thread whose failure (a lost server, say) reaches the caller at join, not terminate().
class Worker {
 public:
    explicit Worker(std::function<void()> work)
        : thread_([this, work = std::move(work)] {
              try {
                  work();
              } catch (...) {
                  failure_ = std::current_exception();
              }
          }) {}
    ~Worker() {
        if (thread_.joinable()) thread_.join();
    }
    void join() {
        thread_.join();
        if (failure_) std::rethrow_exception(failure_);
    }

 private:
    std::exception_ptr failure_;
    std::thread thread_;
};

struct Latency {
    double p50, p99;
};

Latency pingLatency(Connection& client, int count, std::chrono::microseconds pause) {
    std::vector<double> samples;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        client.ask(request("vaxo-ping"), bench::kAnswerEnd);
        samples.push_back(msSince(start));
        std::this_thread::sleep_for(pause);
    }
    return {median(samples), percentile(samples, 0.99)};
}

void pingScenario(int port, const std::vector<std::string>& multi, const std::string& condition, int pings) {
    Connection pinger(port);
    pingLatency(pinger, 50, std::chrono::microseconds(0));
    const Latency idle = pingLatency(pinger, pings, std::chrono::microseconds(500));
    std::atomic<bool> stop{false};
    std::atomic<int> searches{0};
    Worker searcher([&] {
        Connection client(port);
        const std::string text = request("vaxo-search", multi, condition);
        while (!stop) {
            client.search(text);
            ++searches;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Latency busy{};
    try {
        busy = pingLatency(pinger, pings, std::chrono::microseconds(500));
    } catch (...) {
        stop = true;
        throw;
    }
    stop = true;
    searcher.join();
    std::printf("(c) ping: %d pings idle, %d during %d searches of (b)\n", pings, pings, searches.load());
    table.push_back({"(c) ping p50, searching", figure(busy.p50, "ms"), figure(idle.p50, "ms"), busy.p50 / idle.p50,
                     "report", true});
    table.push_back({"(c) ping p99, searching", figure(busy.p99, "ms"), figure(idle.p99, "ms"), busy.p99 / idle.p99,
                     "p99 < 2 ms", busy.p99 < 2.0});
}

// Requests per second of kClients connections each sending perClient searches back to back.
double concurrentRate(int port, const std::string& text, int perClient) {
    std::vector<std::unique_ptr<Connection>> clients;
    for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<Connection>(port));
    std::vector<std::unique_ptr<Worker>> threads;
    const auto start = Clock::now();
    for (auto& client : clients)
        threads.push_back(std::make_unique<Worker>([&, connection = client.get()] {
            for (int i = 0; i < perClient; ++i) connection->search(text);
        }));
    for (auto& thread : threads) thread->join();
    return kClients * perClient / (msSince(start) / 1000.0);
}

void concurrentScenario(int port, const std::vector<std::string>& small, const std::string& condition, int perClient,
                        int reps) {
    const std::string text = request("vaxo-search", small, condition);
    std::printf("(d) %d clients x %d searches: %s; rows per search server %lld, direct %lld\n", kClients, perClient,
                condition.c_str(), static_cast<long long>(recordCount(Connection(port).search(text))),
                static_cast<long long>(directSearch(small, condition)));
    std::vector<double> server, direct;
    for (int r = 0; r < reps; ++r) {
        server.push_back(concurrentRate(port, text, perClient));
        const auto start = Clock::now();
        for (int i = 0; i < kClients * perClient; ++i) directSearch(small, condition);
        direct.push_back(kClients * perClient / (msSince(start) / 1000.0));
    }
    const double ratio = median(server) / median(direct);
    table.push_back({"(d) 8 clients, selective", figure(median(server), "req/s"), figure(median(direct), "req/s"),
                     ratio, ">= 0.70", ratio >= 0.70});
}

void printTable() {
    std::printf("\n%-28s %14s %14s %7s %11s  %s\n", "scenario", "server", "baseline", "ratio", "target", "result");
    for (const Row& row : table)
        std::printf("%-28s %14s %14s %7.3f %11s  %s\n", row.scenario.c_str(), row.server.c_str(), row.baseline.c_str(),
                    row.ratio, row.target.c_str(), row.target == "report" ? "-" : row.met ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
    std::string executable, data;
    int reps = 9;
    std::string only = "abcd";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--server") executable = argv[i + 1];
        else if (option == "--data") data = argv[i + 1];
        else if (option == "--reps") reps = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--only") only = argv[i + 1];
    }
    if (executable.empty() || data.empty()) {
        std::fprintf(stderr, "usage: %s --server EXECUTABLE --data FOLDER [--reps N] [--only abcd]\n", argv[0]);
        return 2;
    }
    try {
        data = fs::absolute(data).string();
        if (!bench::makeBenchCatalogs(data)) return 1;
        const auto path = [&](const std::string& name) { return data + "/" + name; };
        std::vector<std::string> multi;
        for (const auto& plan : bench::benchCatalogPlans())
            if (plan.fileName.rfind("multi-", 0) == 0) multi.push_back(path(plan.fileName));

        bench::Server server({.executable = executable,
                              .folderName = "bench",
                              .settings = {{"limit_connections", "50"},
                                           {"limit_results_total", std::to_string(kLimitTotal)},
                                           {"limit_results_database", std::to_string(kLimitDatabase)},
                                           {"use_spotlight", "false"}}});
        server.waitForPong(request("vaxo-ping"));
        Connection client(server.port());
        const std::string rare = std::string("name LIKE '%") + bench::kRareWord + "%'";
        const std::string common = std::string("name LIKE '%") + bench::kCommonWord + "%'";
        const std::string exact = std::string("name = '") + bench::kExactName + "'";
        const auto wanted = [&only](char scenario) { return only.find(scenario) != std::string::npos; };
        if (wanted('a')) compareOneSearch("(a) 1M rows, LIKE", client, {path("big-1m.vxo")}, rare, reps);
        if (wanted('b')) compareOneSearch("(b) 20 x 50k rows, LIKE", client, multi, common, reps);
        if (wanted('c')) pingScenario(server.port(), multi, common, 1000);
        if (wanted('d')) concurrentScenario(server.port(), {path("small-10k.vxo")}, exact, 50, std::max(3, reps / 2));
        printTable();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "search_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
