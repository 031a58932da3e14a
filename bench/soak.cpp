// soak --server EXECUTABLE --data FOLDER [--seconds N] [--interval S]
// Runs the server for a while under a steady mixed load from a few clients and records every few
// seconds its memory, descriptors and threads and the requests done, to show whether any of them
// creeps up over time. Nothing is asserted: an answer that is incomplete, holds two answers or
// differs from the first answer to the same request is counted as an error and printed.
#include "catalog_generator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

std::atomic<bool> stopping{false};
std::atomic<long> requestsDone{0}, errors{0}, abandoned{0};

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string request(std::string_view command, const std::vector<std::string>& paths, std::string_view condition) {
    std::string joined, text;
    for (const std::string& path : paths) joined.append(joined.empty() ? "" : "::").append(path);
    const std::vector<std::string_view> fields = {"", command, "soak", "soak", "", joined, condition, "soakview", ""};
    for (size_t i = 0; i < fields.size(); ++i) text.append(i ? "]':'[" : "").append(fields[i]);
    return text;
}

void reportError(const std::string& what) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (++errors <= 20) std::fprintf(stderr, "soak: %s\n", what.c_str());
}

int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    return -1;
}

// One answer up to its end marker; empty when the server closed the connection or said nothing for 60 s.
std::string readAnswer(int fd, std::string_view end) {
    std::string answer;
    char buffer[1 << 16];
    while (answer.size() < end.size() || answer.compare(answer.size() - end.size(), end.size(), end) != 0) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 60'000) != 1) return {};
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return {};
        answer.append(buffer, static_cast<size_t>(n));
    }
    return answer;
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
        const int fd = connectTo(port);
        if (fd < 0) {
            reportError("cannot connect");
            std::this_thread::sleep_for(100ms);
            continue;
        }
        for (int n = 0; n < perConnection && !stopping; ++n, ++i) {
            const Ask& ask = asks[i % asks.size()];
            const auto start = Clock::now();
            if (::send(fd, ask.text.data(), ask.text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ask.text.size())) {
                reportError("send failed");
                break;
            }
            const std::string answer = readAnswer(fd, ask.end);
            if (answer.empty()) {
                reportError("no whole answer to " + ask.text.substr(0, 80));
                break;
            }
            if (latencyMs) latencyMs->push_back(secondsSince(start) * 1000);
            checker.check(ask.text, answer, ask.end);
            ++requestsDone;
            ++answered;
            std::this_thread::sleep_for(pause);
        }
        ::close(fd);
    }
}

// Asks for a search and leaves before its answer, every other time after reading a little of it;
// every fourth time connects and leaves without a word.
void leavingClient(int port, const std::string& text) {
    char buffer[4096];
    for (long n = 0; !stopping; ++n, std::this_thread::sleep_for(500ms)) {
        const int fd = connectTo(port);
        if (fd < 0) continue;
        if (n % 4 != 3) {
            ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
            pollfd ready{fd, POLLIN, 0};
            if (n % 2 == 1 && ::poll(&ready, 1, 500) == 1) ::recv(fd, buffer, sizeof buffer, 0);
            ++abandoned;
        }
        ::close(fd);
    }
}

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t size = sizeof address;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

pid_t startServer(const std::string& executable, const fs::path& folder, int port) {
    std::ofstream(folder / "preferences-server.xml")
        << "<settings><variable name=\"port\" value=\"" << port << "\" />"
        << "<variable name=\"limit_connections\" value=\"10\" /><variable name=\"limit_results_total\" "
           "value=\"100000\" />"
        << "<variable name=\"limit_results_database\" value=\"2000\" /><variable name=\"use_spotlight\" "
           "value=\"false\" /></settings>";
    const std::string output = (folder / "server-output.txt").string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("QUORVANTEL_APP_FOLDER", folder.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) ::dup2(fd, 1), ::dup2(fd, 2);
        ::execl(executable.c_str(), executable.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
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
    std::string pattern = (fs::temp_directory_path() / "quorvantel-soak-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return 1;
    const fs::path folder = pattern;
    const int port = freePort();
    const pid_t pid = startServer(fs::absolute(executable).string(), folder, port);
    int status = 0;
    const auto alive = [pid, &status] { return ::waitpid(pid, &status, WNOHANG) == 0; };

    const std::string ping = request("vaxo-ping", {}, "");
    for (const auto start = Clock::now(); secondsSince(start) < 15;) {
        const int fd = connectTo(port);
        const bool answered =
            fd >= 0 && ::send(fd, ping.data(), ping.size(), MSG_NOSIGNAL) > 0 && !readAnswer(fd, "</answer>\n").empty();
        if (fd >= 0) ::close(fd);
        if (answered || !alive()) break;
        std::this_thread::sleep_for(50ms);
    }
    const auto path = [&](const std::string& name) { return data + "/" + name; };
    std::vector<std::string> multi;
    for (const auto& plan : bench::benchCatalogPlans())
        if (plan.fileName.rfind("multi-", 0) == 0) multi.push_back(path(plan.fileName));
    const std::vector<std::string> few(multi.begin(), multi.begin() + 5);
    const std::string rare = std::string("name LIKE '%") + bench::kRareWord + "%'";
    const std::string common = std::string("name LIKE '%") + bench::kCommonWord + "%'";
    const std::string exact = std::string("name = '") + bench::kExactName + "'";
    const std::vector<Ask> searches = {{request("vaxo-search", {path("small-10k.vxo")}, exact), "</result>\n"},
                                       {request("vaxo-search", few, common), "</result>\n"},
                                       {request("vaxo-search", {path("small-10k.vxo")}, rare), "</result>\n"},
                                       {request("vaxo-search", {path("big-1m.vxo")}, rare), "</result>\n"}};
    const std::vector<Ask> mixed = {
        {request("vaxo-browse", multi, "SELECT * FROM disks ORDER BY disk ASC;''''';getdisks"), "</result>\n"},
        {request("vaxo-getlist", {}, ""), "</answer>\n"},
        {request("vaxo-browse", few, common + ";''''';3"), "</result>\n"},
        {"soak: not a request", "<answer>No result</answer>"},
        {ping, "</answer>\n"}};
    const std::vector<Ask> pings = {{ping, "</answer>\n"}};

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
        while (secondsSince(start) < std::min(next, seconds) && !(died = !alive())) std::this_thread::sleep_for(100ms);
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
    std::sort(pingMs.begin(), pingMs.end());
    const auto at = [&](double p) {
        return pingMs.empty() ? 0.0 : pingMs[static_cast<size_t>(p * (pingMs.size() - 1))];
    };

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
    std::printf("  ping latency: p50 %.3f ms, p99 %.3f ms, max %.3f ms (%zu pings)\n", at(0.5), at(0.99), at(1.0),
                pingMs.size());
    if (died)
        std::printf("  THE SERVER ENDED during the run; its output is in %s\n", (folder / "server-output.txt").c_str());

    if (!died) {
        ::kill(pid, SIGTERM);
        for (int i = 0; i < 100 && alive(); ++i) std::this_thread::sleep_for(100ms);
        if (alive()) {
            std::printf("  the server did not quit within 10 s of SIGTERM\n");
            ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
        } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::printf("  the server quit with status %d after SIGTERM\n", status);
        }
        fs::remove_all(folder, ignored);
    }
    return died || errors > 0 ? 1 : 0;
}
