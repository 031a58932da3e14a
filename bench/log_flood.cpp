// log_flood --server EXECUTABLE [--pings N] [--label-bytes B] [--seconds S] [--only letters|lineends]
// Three clients flood the server with pings whose labels are huge, each of which becomes a log
// line, while a fourth client pings with a small label and times each round trip. Run once with
// labels of letters and once with labels made of line ends, each against a fresh server; prints
// the timed pings' percentiles and the server's peak memory. Nothing is asserted.
#include "bench_support.h"

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using bench::Clock;
using namespace std::chrono_literals;

namespace {

constexpr int kFlooders = 3;

struct Options {
    std::string executable;
    int pings = 4000;  // per flooding client
    size_t labelBytes = 60'000;
    double seconds = 120;  // a flood still running then is stopped
    std::string only;
};

long peakMemoryKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    long kb = 0;
    for (std::string line; std::getline(status, line);) std::sscanf(line.c_str(), "VmHWM: %ld", &kb);
    return kb;
}

struct Flood {
    long flooded = 0, timed = 0, failures = 0;
    double seconds = 0;
    std::vector<double> pingMs;
    long startKb = 0, peakKb = 0;
};

// True once a pong has come. A request has no length, so a huge one may reach the server in two
// reads, the second answered as no request, without a line end; such an answer never ends the
// wait for the next pong, so the wait is short and only counted when it runs out.
bool pongCame(bench::Connection& connection) {
    std::string received;
    char buffer[1 << 16];
    while (received.find("vaxo-pong") == std::string::npos || !received.ends_with(bench::kAnswerEnd)) {
        pollfd ready{connection.fd(), POLLIN, 0};
        if (::poll(&ready, 1, 2000) != 1) return false;
        const ssize_t n = ::recv(connection.fd(), buffer, sizeof buffer, 0);
        if (n <= 0) throw std::runtime_error("the server closed the connection");
        received.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

// One client's share of the flood: a ping, its pong, the next ping.
void flooder(int port, const std::string& ping, int pings, const std::atomic<bool>& stopping,
             std::atomic<long>& flooded, std::atomic<long>& failures) {
    std::optional<bench::Connection> connection;
    for (int i = 0; i < pings && !stopping; ++i) {
        try {
            if (!connection) connection.emplace(port);
            if (!connection->send(ping)) throw std::runtime_error("send failed");
            if (pongCame(*connection)) ++flooded;
            else ++failures;
        } catch (const std::exception&) {
            ++failures;
            connection.reset();
        }
    }
}

Flood runFlood(const Options& options, char fill) {
    bench::Server server({.executable = options.executable, .folderName = "log-flood"});
    const bench::RequestWriter timedRequest{"log flood", "timer", "v"};
    const std::string timedPing = timedRequest("vaxo-ping");
    server.waitForPong(timedPing);
    const bench::RequestWriter floodRequest{"log flood", std::string(options.labelBytes, fill), "v"};
    const std::string floodPing = floodRequest("vaxo-ping");

    Flood flood;
    flood.startKb = peakMemoryKb(server.pid());
    std::atomic<bool> stopping{false}, flooding{true};
    std::atomic<long> flooded{0}, failures{0};
    // A ping that gets no pong within 60 s counts with the time it waited.
    std::thread timer([&] {
        std::optional<bench::Connection> connection;
        while (flooding) {
            const auto start = Clock::now();
            try {
                if (!connection) connection.emplace(server.port());
                connection->ask(timedPing, bench::kAnswerEnd);
            } catch (const std::exception&) {
                ++failures;
                connection.reset();
            }
            flood.pingMs.push_back(bench::msSince(start));
            std::this_thread::sleep_for(2ms);
        }
    });
    const auto start = Clock::now();
    std::vector<std::thread> flooders;
    for (int i = 0; i < kFlooders; ++i)
        flooders.emplace_back(flooder, server.port(), std::cref(floodPing), options.pings, std::cref(stopping),
                              std::ref(flooded), std::ref(failures));
    std::thread watchdog([&] {
        while (!stopping && bench::msSince(start) < options.seconds * 1000) std::this_thread::sleep_for(50ms);
        stopping = true;
    });
    for (auto& thread : flooders) thread.join();
    flood.seconds = bench::msSince(start) / 1000;
    flooding = false;
    timer.join();
    stopping = true;
    watchdog.join();
    // The window may still be catching up: a ping now waits for it.
    server.waitForPong(timedPing);
    flood.peakKb = peakMemoryKb(server.pid());
    flood.flooded = flooded;
    flood.failures = failures;
    flood.timed = static_cast<long>(flood.pingMs.size());
    if (!server.stop()) std::printf("  the server did not quit within 10 s of SIGTERM\n");
    return flood;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--server") options.executable = argv[i + 1];
        else if (option == "--pings") options.pings = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--label-bytes") options.labelBytes = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--seconds") options.seconds = std::atof(argv[i + 1]);
        else if (option == "--only") options.only = argv[i + 1];
    }
    if (options.executable.empty()) {
        std::fprintf(stderr,
                     "usage: %s --server EXECUTABLE [--pings N] [--label-bytes B] [--seconds S] "
                     "[--only letters|lineends]\n",
                     argv[0]);
        return 2;
    }
    const struct {
        const char* name;
        char fill;
    } kinds[] = {{"letters", 'x'}, {"lineends", '\n'}};
    std::printf("%d clients x %d pings with %zu-byte labels, a timed ping every 2 ms meanwhile\n\n", kFlooders,
                options.pings, options.labelBytes);
    std::printf("%-9s %8s %8s %7s %9s %9s %9s %10s %10s %8s\n", "labels", "flooded", "seconds", "timed", "p50 ms",
                "p99 ms", "max ms", "start MB", "VmHWM MB", "failures");
    for (const auto& kind : kinds) {
        if (!options.only.empty() && options.only != kind.name) continue;
        try {
            const Flood f = runFlood(options, kind.fill);
            std::printf("%-9s %8ld %8.1f %7ld %9.2f %9.2f %9.2f %10.1f %10.1f %8ld\n", kind.name, f.flooded, f.seconds,
                        f.timed, bench::percentile(f.pingMs, 0.5), bench::percentile(f.pingMs, 0.99),
                        bench::percentile(f.pingMs, 1.0), f.startKb / 1024.0, f.peakKb / 1024.0, f.failures);
            std::fflush(stdout);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "log_flood: %s: %s\n", kind.name, e.what());
            return 1;
        }
    }
    return 0;
}
