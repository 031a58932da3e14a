// hostile --server EXECUTABLE --data FOLDER [--only big,labels,lineends,generated,departed] [--scale F]
// Runs the server through what a hostile or careless client does to it, each scenario against a
// fresh server, with a ping every 2 ms on a connection of its own throughout and for 2 s after:
// the pings' latency and the server's peak memory are what each row reports. --scale multiplies
// the request counts.
//   big        three clients fetch answers of about 56 MB, three times each
//   labels     three clients send 2 000 pings each with a 60 KB label
//   lineends   three clients send 100 pings each whose 60 KB label is all line ends
//   generated  one search naming three times a 30 KB catalog whose generated column makes each
//              of its 2 000 values about 99 KB
//   departed   a client queues 200 slow searches and resets; another client then asks for a
//              small search (its wait is reported)
#include "bench_support.h"
#include "catalog_generator.h"
#include "server_watch.h"

#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using bench::Clock;
using bench::msSince;
using namespace std::chrono_literals;

namespace {

const bench::RequestWriter request{"hostile", "hostile", "hostileview"};
double scale = 1;

int scaled(int count) { return std::max(1, static_cast<int>(count * scale)); }

// Runs work on threads whose failures reach the caller at join, not terminate().
class Clients {
 public:
    void add(std::function<void()> work) {
        threads_.emplace_back([this, work = std::move(work)] {
            try {
                work();
            } catch (const std::exception& error) {
                std::lock_guard lock(mutex_);
                failure_ = error.what();
            }
        });
    }
    std::string join() {
        for (auto& thread : threads_) thread.join();
        threads_.clear();
        return failure_;
    }
    ~Clients() { join(); }

 private:
    std::vector<std::thread> threads_;
    std::mutex mutex_;  // guards failure_
    std::string failure_;
};

struct Scenario {
    const char* name;
    std::function<std::string(bench::Server&, const std::string& data)> run;  // a detail for the row
};

// The server's log lines so far.
std::string logText(const bench::Server& server) {
    std::string text;
    std::error_code error;
    for (fs::directory_iterator it(server.outputFile().parent_path() / "logs", error), end; !error && it != end;
         it.increment(error)) {
        std::ifstream in(it->path(), std::ios::binary);
        text.append(std::istreambuf_iterator<char>(in), {});
    }
    return text;
}

size_t occurrences(const std::string& text, const std::string& fragment) {
    size_t count = 0;
    for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) ++count;
    return count;
}

std::string bigAnswers(bench::Server& server, const std::string& data) {
    const std::string text = request("vaxo-search", {data + "/big-1m.vxo"}, "id % 21 < 4");
    std::atomic<size_t> bytes{0}, answers{0};
    Clients clients;
    for (int c = 0; c < 3; ++c)
        clients.add([&] {
            bench::Connection connection(server.port());
            for (int i = 0; i < scaled(3); ++i) {
                bytes += connection.search(text).size();
                ++answers;
            }
        });
    const std::string failure = clients.join();
    if (!failure.empty()) throw std::runtime_error(failure);
    char detail[96];
    std::snprintf(detail, sizeof detail, "%zu answers, %.0f MB each", answers.load(),
                  static_cast<double>(bytes) / 1e6 / static_cast<double>(std::max<size_t>(1, answers)));
    return detail;
}

std::string floodOfLabels(bench::Server& server, char fill, int perClient) {
    const std::string text = bench::RequestWriter{"flood", std::string(60'000, fill), ""}("vaxo-ping");
    std::atomic<int> answered{0};
    Clients clients;
    for (int c = 0; c < 3; ++c)
        clients.add([&] {
            bench::Connection connection(server.port());
            for (int i = 0; i < perClient; ++i) {
                connection.ask(text, bench::kAnswerEnd);
                ++answered;
            }
        });
    const std::string failure = clients.join();
    if (!failure.empty()) throw std::runtime_error(failure);
    return std::to_string(answered.load()) + " pings of " + std::to_string(text.size() / 1000) + " KB answered";
}

// 2 000 rows of nothing but a number and a disk (about 30 KB): the generated column makes every name.
std::string generatedCatalog(const std::string& folder) {
    const std::string path = folder + "/hostile-generated.vxo";
    fs::remove(path);
    sqlite3* db = nullptr;
    const char* sql =
        "CREATE TABLE disks(disk INTEGER, dtype TEXT, dname TEXT, dlabel TEXT, dpath TEXT, dd TEXT);"
        "INSERT INTO disks VALUES(1, 'HD', 'Gen', 'Gen', '/Volumes/Gen', '2024');"
        "CREATE TABLE paths(id INTEGER PRIMARY KEY, disk INTEGER,"
        " name TEXT GENERATED ALWAYS AS (hex(zeroblob(49500))) VIRTUAL);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000)"
        " INSERT INTO paths(id, disk) SELECT i, 1 FROM n;";
    const bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
                    sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    if (!ok) throw std::runtime_error("cannot make " + path);
    return path;
}

std::string generatedColumns(bench::Server& server, const std::string& data) {
    const std::string catalog = generatedCatalog(data);
    const auto start = Clock::now();
    bench::Connection connection(server.port());
    const std::string& answer = connection.search(request("vaxo-search", {catalog, catalog, catalog}, "1"));
    char detail[160];
    std::snprintf(detail, sizeof detail, "catalog of %.0f KB; answer %.0f MB with %lld records in %.1f s",
                  static_cast<double>(fs::file_size(catalog)) / 1e3, static_cast<double>(answer.size()) / 1e6,
                  static_cast<long long>(bench::recordCount(answer)), msSince(start) / 1000);
    return detail;
}

std::string departedQueue(bench::Server& server, const std::string& data) {
    constexpr const char* kSlow = "name LIKE '%quokka%'";
    const int searches = scaled(200);
    {
        bench::Connection departing(server.port());
        for (int n = 0; n < searches; ++n) {
            const std::string condition = std::string(kSlow) + " AND " + std::to_string(n) + "=" + std::to_string(n);
            if (!departing.send(request("vaxo-search", {data + "/big-1m.vxo"}, condition)))
                throw std::runtime_error("the departing client could not send");
            std::this_thread::sleep_for(10ms);  // separate arrivals
        }
        const linger reset{1, 0};
        ::setsockopt(departing.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    const size_t queued = occurrences(logText(server), "SQL:" + std::string(kSlow) + " AND ");
    const auto start = Clock::now();
    bench::Connection other(server.port());
    other.search(request("vaxo-search", {data + "/small-10k.vxo"}, "name = 'ledger_2024.txt'"));
    const double waited = msSince(start) / 1000;
    const size_t ran = occurrences(logText(server), "SQL action: Query: " + std::string(kSlow) + " AND ");
    char detail[160];
    std::snprintf(detail, sizeof detail, "%zu searches queued, %zu of them run; the next client waited %.2f s",
                  queued, ran, waited);
    return detail;
}

}  // namespace

int main(int argc, char** argv) {
    std::string executable, data, only = "big,labels,lineends,generated,departed";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--server") executable = argv[i + 1];
        else if (option == "--data") data = argv[i + 1];
        else if (option == "--only") only = argv[i + 1];
        else if (option == "--scale") scale = std::max(0.01, std::atof(argv[i + 1]));
    }
    if (executable.empty() || data.empty()) {
        std::fprintf(stderr, "usage: %s --server EXECUTABLE --data FOLDER [--only LIST] [--scale F]\n", argv[0]);
        return 2;
    }
    const std::vector<Scenario> scenarios = {
        {"big", bigAnswers},
        {"labels", [](bench::Server& s, const std::string&) { return floodOfLabels(s, 'L', scaled(2000)); }},
        {"lineends", [](bench::Server& s, const std::string&) { return floodOfLabels(s, '\n', scaled(100)); }},
        {"generated", generatedColumns},
        {"departed", departedQueue},
    };
    int failures = 0;
    try {
        data = fs::absolute(data).string();
        if (!bench::makeBenchCatalogs(data)) return 1;
        std::printf("%-10s %-44s %9s  %s\n", "scenario", "ping on another connection", "VmHWM", "what happened");
        for (const Scenario& scenario : scenarios) {
            if (("," + only + ",").find("," + std::string(scenario.name) + ",") == std::string::npos) continue;
            bench::Server server({.executable = executable,
                                  .folderName = "hostile",
                                  .settings = {{"limit_connections", "20"},
                                               {"limit_results_total", "1000000"},
                                               {"limit_results_database", "200000"},
                                               {"use_spotlight", "false"}}});
            server.waitForPong(request("vaxo-ping"));
            std::string detail;
            std::vector<double> pings;
            try {
                bench::Pinger pinger(server.port(), request("vaxo-ping"), 2ms);
                detail = scenario.run(server, data);
                // Work the scenario left to the server (log window lines, say) shows in the pings after it.
                std::this_thread::sleep_for(2s);
                pings = pinger.stop();
            } catch (const std::exception& error) {
                detail = std::string("FAILED: ") + error.what();
                ++failures;
            }
            if (!server.running()) detail += "; the server ENDED";
            std::printf("%-10s %-44s %6.0f MB  %s\n", scenario.name, bench::latencySummary(pings).c_str(),
                        static_cast<double>(bench::peakMemoryKb(server.pid())) / 1024, detail.c_str());
            std::fflush(stdout);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "hostile: %s\n", error.what());
        return 1;
    }
    return failures ? 1 : 0;
}
