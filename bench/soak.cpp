// soak --server EXECUTABLE --data FOLDER [--seconds N] [--interval S]
// Runs the server for a while under a steady mixed load from a few clients and records every few
// seconds its memory, descriptors and threads and the requests done, to show whether any of them
// creeps up over time. Nothing is asserted: an answer that is incomplete, holds two answers or
// differs from the first answer to the same request is counted as an error and printed.
#include "bench_support.h"
#include "catalog_generator.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using bench::Clock;
using namespace std::chrono_literals;

namespace {

std::atomic<bool> stopping{false};
std::atomic<long> requestsDone{0}, errors{0}, abandoned{0};

double secondsSince(Clock::time_point start) { return bench::msSince(start) / 1000; }

const bench::RequestWriter request{"soak", "soak", "soakview"};

void reportError(const std::string& what) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (++errors <= 20) std::fprintf(stderr, "soak: %s\n", what.c_str());
}

// Empty when the server refuses: a client counts that as an error or rides it out, never stops.
std::optional<bench::Connection> connectTo(int port) {
    try {
        return std::optional<bench::Connection>(std::in_place, port);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Every answer is deterministic, so the first answer to a request is the reference for the rest.
class Checker {
 public:
    void check(const std::string& text, const std::string& answer, std::string_view end) {
        const size_t hash = std::hash<std::string>{}(answer);
        std::lock_guard lock(mutex_);
        const auto [known, first] = reference_.emplace(text, std::make_pair(answer.size(), hash));
        if (answer.find(end) != answer.size() - end.size())
            reportError("two answers in one: " + text.substr(0, 80));
        else if (!first && known->second != std::make_pair(answer.size(), hash))
            reportError("answer of " + std::to_string(answer.size()) + " bytes differs from the first one of " +
                        std::to_string(known->second.first) + ": " + text.substr(0, 80));
    }

 private:
    std::mutex mutex_;
    std::map<std::string, std::pair<size_t, size_t>> reference_;
};

struct Ask {
    std::string text;
    std::string_view end;
};

// Sends the asks round and round, each after the previous answer, on a new connection every perConnection.
void steadyClient(int port, const std::vector<Ask>& asks, int perConnection, std::chrono::milliseconds pause,
                  Checker& checker, long& answered, std::vector<double>* latencyMs = nullptr) {
    for (size_t i = 0; !stopping;) {
        std::optional<bench::Connection> connection = connectTo(port);
        if (!connection) {
            reportError("cannot connect");
            std::this_thread::sleep_for(100ms);
            continue;
        }
        for (int n = 0; n < perConnection && !stopping; ++n, ++i) {
            const Ask& ask = asks[i % asks.size()];
            const auto start = Clock::now();
            if (!connection->send(ask.text)) {
                reportError("send failed");
                break;
            }
            if (!connection->receive(ask.end)) {
                reportError("no whole answer to " + ask.text.substr(0, 80));
                break;
            }
            if (latencyMs) latencyMs->push_back(bench::msSince(start));
            checker.check(ask.text, connection->answer(), ask.end);
            ++requestsDone;
            ++answered;
            std::this_thread::sleep_for(pause);
        }
    }
}

// Asks for a search and leaves before its answer, every other time after reading a little of it;
// every fourth time connects and leaves without a word.
void leavingClient(int port, const std::string& text) {
    char buffer[4096];
    for (long n = 0; !stopping; ++n, std::this_thread::sleep_for(500ms)) {
        std::optional<bench::Connection> connection = connectTo(port);
        if (!connection) continue;
        if (n % 4 != 3) {
            connection->send(text);
            pollfd ready{connection->fd(), POLLIN, 0};
            if (n % 2 == 1 && ::poll(&ready, 1, 500) == 1) ::recv(connection->fd(), buffer, sizeof buffer, 0);
            ++abandoned;
        }
    }
}

struct Figures {
    long rssKb = 0, hwmKb = 0, threads = 0, fds = 0;
};

Figures figuresOf(pid_t pid) {
    Figures f;
    const fs::path proc = "/proc/" + std::to_string(pid);
    std::ifstream status(proc / "status");
    for (std::string line; std::getline(status, line);) {
        std::sscanf(line.c_str(), "VmRSS: %ld", &f.rssKb);
        std::sscanf(line.c_str(), "VmHWM: %ld", &f.hwmKb);
        std::sscanf(line.c_str(), "Threads: %ld", &f.threads);
    }
    std::error_code error;
    for (fs::directory_iterator it(proc / "fd", error), end; !error && it != end; it.increment(error)) ++f.fds;
    return f;
}

// Apart from main so that a server that fails to start ends the run with a message, not terminate().
int soak(const std::string& executable, const std::string& data, double seconds, double interval) {
    bench::Server server({.executable = executable,
                          .folderName = "soak",
                          .settings = {{"limit_connections", "10"},
                                       {"limit_results_total", "100000"},
                                       {"limit_results_database", "2000"},
                                       {"use_spotlight", "false"}}});
    const int port = server.port();
    const pid_t pid = server.pid();
    const std::string ping = request("vaxo-ping");
    server.waitForPong(ping);
    const auto path = [&](const std::string& name) { return data + "/" + name; };
    std::vector<std::string> multi;
    for (const auto& plan : bench::benchCatalogPlans())
        if (plan.fileName.rfind("multi-", 0) == 0) multi.push_back(path(plan.fileName));
    const std::vector<std::string> few(multi.begin(), multi.begin() + 5);
    const std::string rare = std::string("name LIKE '%") + bench::kRareWord + "%'";
    const std::string common = std::string("name LIKE '%") + bench::kCommonWord + "%'";
    const std::string exact = std::string("name = '") + bench::kExactName + "'";
    const std::vector<Ask> searches = {{request("vaxo-search", {path("small-10k.vxo")}, exact), bench::kResultEnd},
                                       {request("vaxo-search", few, common), bench::kResultEnd},
                                       {request("vaxo-search", {path("small-10k.vxo")}, rare), bench::kResultEnd},
                                       {request("vaxo-search", {path("big-1m.vxo")}, rare), bench::kResultEnd}};
    const std::vector<Ask> mixed = {
        {request("vaxo-browse", multi, "SELECT * FROM disks ORDER BY disk ASC;''''';getdisks"), bench::kResultEnd},
        {request("vaxo-getlist"), bench::kAnswerEnd},
        {request("vaxo-browse", few, common + ";''''';3"), bench::kResultEnd},
        {"soak: not a request", "<answer>No result</answer>"},
        {ping, bench::kAnswerEnd}};
    const std::vector<Ask> pings = {{ping, bench::kAnswerEnd}};

    Checker checker;
    std::vector<double> pingMs;
    const Figures first = figuresOf(pid);
    std::vector<std::thread> clients;
    long answered[4] = {};
    clients.emplace_back([&] { steadyClient(port, searches, 40, 0ms, checker, answered[0]); });
    clients.emplace_back([&] { steadyClient(port, mixed, 10, 0ms, checker, answered[1]); });
    clients.emplace_back([&] { steadyClient(port, pings, 200, 5ms, checker, answered[2], &pingMs); });
    clients.emplace_back([&] { steadyClient(port, mixed, 1, 10ms, checker, answered[3]); });
    clients.emplace_back([&] { leavingClient(port, request("vaxo-search", few, common)); });

    std::printf("soak: server pid %d on port %d, %.0f s, a row every %.0f s\n\n", pid, port, seconds, interval);
    std::printf("%7s %8s %8s %5s %8s %10s %8s %10s %7s\n", "time s", "RSS MB", "HWM MB", "fds", "threads", "requests",
                "req/s", "abandoned", "errors");
    const auto start = Clock::now();
    Figures last = first, peak = first, firstRow;
    long lastRequests = 0, firstRowRequests = 0, rows = 0;
    double lastTime = 0;
    bool died = false;
    for (double next = interval; secondsSince(start) < seconds && !died; next += interval) {
        while (secondsSince(start) < std::min(next, seconds) && !(died = !server.running()))
            std::this_thread::sleep_for(100ms);
        if (died) break;
        last = figuresOf(pid);
        peak.rssKb = std::max(peak.rssKb, last.rssKb);
        const long done = requestsDone;
        const double now = secondsSince(start);
        if (rows++ == 0) firstRow = last, firstRowRequests = done;
        std::printf("%7.0f %8.1f %8.1f %5ld %8ld %10ld %8.0f %10ld %7ld\n", now, last.rssKb / 1024.0,
                    last.hwmKb / 1024.0, last.fds, last.threads, done, (done - lastRequests) / (now - lastTime),
                    abandoned.load(), errors.load());
        std::fflush(stdout);
        lastRequests = done;
        lastTime = now;
    }
    const double elapsed = secondsSince(start);
    stopping = true;
    for (auto& client : clients) client.join();

    std::printf("\nsummary over %.0f s\n", elapsed);
    std::printf("  RSS: start %.1f MB, end %.1f MB, peak sampled %.1f MB, VmHWM %.1f MB\n", first.rssKb / 1024.0,
                last.rssKb / 1024.0, peak.rssKb / 1024.0, last.hwmKb / 1024.0);
    if (rows > 1)
        std::printf("  RSS growth from the first row to the last: %.1f MB, %.1f kB per 1000 requests answered\n",
                    (last.rssKb - firstRow.rssKb) / 1024.0,
                    (last.rssKb - firstRow.rssKb) * 1000.0 / static_cast<double>(lastRequests - firstRowRequests));
    std::printf("  fds: start %ld, end %ld; threads: start %ld, end %ld\n", first.fds, last.fds, first.threads,
                last.threads);
    std::printf("  requests answered %ld (%.0f/s), left before their answer %ld, errors %ld\n", requestsDone.load(),
                requestsDone / elapsed, abandoned.load(), errors.load());
    std::printf("  answered to the searcher %ld, the browser %ld, the pinger %ld, one-request connections %ld\n",
                answered[0], answered[1], answered[2], answered[3]);
    std::printf("  ping latency: p50 %.3f ms, p99 %.3f ms, max %.3f ms (%zu pings)\n", bench::percentile(pingMs, 0.5),
                bench::percentile(pingMs, 0.99), bench::percentile(pingMs, 1.0), pingMs.size());
    if (died)
        std::printf("  THE SERVER ENDED during the run; its output is in %s\n", server.outputFile().c_str());

    if (!died) {
        if (!server.stop())
            std::printf("  the server did not quit within 10 s of SIGTERM\n");
        else if (!WIFEXITED(server.status()) || WEXITSTATUS(server.status()) != 0)
            std::printf("  the server quit with status %d after SIGTERM\n", server.status());
    }
    return died || errors > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string executable, data;
    double seconds = 600, interval = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--server")
            executable = argv[i + 1];
        else if (option == "--data")
            data = argv[i + 1];
        else if (option == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (option == "--interval")
            interval = std::max(1.0, std::atof(argv[i + 1]));
    }
    if (executable.empty() || data.empty()) {
        std::fprintf(stderr, "usage: %s --server EXECUTABLE --data FOLDER [--seconds N] [--interval S]\n", argv[0]);
        return 2;
    }
    data = fs::absolute(data).string();
    std::error_code ignored;
    fs::create_directories(data, ignored);
    if (!bench::makeBenchCatalogs(data)) return 1;
    try {
        return soak(executable, data, seconds, interval);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "soak: %s\n", error.what());
        return 1;
    }
}
