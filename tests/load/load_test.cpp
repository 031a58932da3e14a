// The real server under many clients at once: every answer exact, whole and on its own
// connection; clients beyond the connection limit served once others leave; a client that never
// reads cut off without starving the others; memory, descriptors and threads bounded. Rates and
// latencies are printed for whoever runs the test, never asserted.

#include "test_support/server_process.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kLimitConnections = 50;
constexpr long kMemoryBoundKb = 1024 * 1024;
constexpr size_t kMaximumWaitingOutput = size_t{64} << 20;
const std::string kDeclaration = R"(<?xml version="1.0" encoding="UTF-8" standalone="no" ?>)";
const std::string kGetdisks = "SELECT * FROM disks ORDER BY disk ASC;''''';getdisks";
const std::string kView = "loadview";

double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

std::string requestText(const std::string& command, const std::vector<std::string>& paths,
                        const std::string& condition) {
    std::string joined, text;
    for (const auto& path : paths) joined.append(joined.empty() ? "" : "::").append(path);
    const std::string fields[] = {"", command, "load", "load_test", "", joined, condition, kView, ""};
    for (size_t i = 0; i < std::size(fields); ++i) text.append(i ? "]':'[" : "").append(fields[i]);
    return text;
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

struct Figures {
    long rssKb = 0, hwmKb = 0, threads = 0, fds = 0, sockets = 0;
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
    for (fs::directory_iterator it(proc / "fd", error), end; !error && it != end; it.increment(error)) {
        ++f.fds;
        f.sockets += fs::read_symlink(it->path(), error).string().rfind("socket:", 0) == 0;
    }
    return f;
}

Figures peakOf(const Figures& a, const Figures& b) {
    return {std::max(a.rssKb, b.rssKb), std::max(a.hwmKb, b.hwmKb), std::max(a.threads, b.threads),
            std::max(a.fds, b.fds), std::max(a.sockets, b.sockets)};
}

// The helper keeps its QProcess to itself; the server is the child of this process with its name.
pid_t serverPid() {
    std::error_code error;
    for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
        if (!std::isdigit(static_cast<unsigned char>(it->path().filename().string()[0]))) continue;
        std::ifstream in(it->path() / "stat");
        const std::string stat((std::istreambuf_iterator<char>(in)), {});
        const size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 > stat.size()) continue;
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == ::getpid() && stat.compare(open + 1, 15, "quorvantel-serv") == 0) return std::stoi(stat);
    }
    return -1;
}

bool exec(sqlite3* db, const std::string& sql) {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Names, sizes and disks follow the row number, so that each condition matches known rows.
bool writeCatalog(const std::string& path, int catalog, int rows) {
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK &&
              exec(db,
                   "BEGIN; CREATE TABLE disks(disk INTEGER, dtype TEXT, dname TEXT, dlabel TEXT, dpath TEXT, dd TEXT,"
                   " dcomment TEXT); CREATE TABLE paths(id INTEGER PRIMARY KEY, ppath TEXT, name TEXT, itype TEXT,"
                   " disk INTEGER, size INTEGER, dcr INTEGER, dmd INTEGER, vis TEXT, mt TEXT, mc TEXT, comment TEXT,"
                   " parent INTEGER);");
    for (int d = 1; ok && d <= 3; ++d) {
        const std::string n = std::to_string(d);
        ok = exec(db, "INSERT INTO disks VALUES(" + n + ", 'HD', 'Disk0" + n + "', 'Label " + n + "-" +
                          std::to_string(catalog) + "', '/Volumes/Disk0" + n + "/', '2023-0" + n + "-14', '')");
    }
    for (int i = 1; ok && i <= rows; ++i) {
        const std::string n = std::to_string(i), disk = std::to_string(1 + i % 3);
        const std::string name =
            (i % 25 == 0 ? "alpha_" : "file_") + std::to_string(catalog) + "_" + n + (i % 2 ? ".txt" : ".dat");
        ok = exec(db, "INSERT INTO paths VALUES(" + n + ", '/Volumes/Disk0" + disk + "/folder" + std::to_string(i % 7) +
                          "/', '" + name + "', '" + name.substr(name.size() - 3) + "', " + disk + ", " +
                          std::to_string(i * 1031) + ", " + std::to_string(300000000 + i * 17) + ", " +
                          std::to_string(300005000 + i * 17) + ", '1', 'TEXT', 'qvnt', '', 0)");
    }
    ok = ok && exec(db, "COMMIT");
    sqlite3_close(db);
    return ok;
}

std::string recordLine(const std::vector<std::string>& values) {
    static const char* const names[] = {"ppath", "name", "itype", "disk", "size", "dcr", "dmd", "vis", "mt", "mc"};
    std::string line = "\t\t<record";
    for (size_t i = 0; i < values.size(); ++i)
        line.append(" ").append(names[i]).append("=\"").append(values[i]).append("\"");
    return line + "/>\n";
}

std::vector<std::vector<std::string>> select(sqlite3* db, const std::string& sql) {
    std::vector<std::vector<std::string>> rows;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) throw std::runtime_error(sql);
    while (sqlite3_step(statement) == SQLITE_ROW) {
        rows.emplace_back();
        for (int i = 0; i < sqlite3_column_count(statement); ++i)
            rows.back().emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, i)));
    }
    sqlite3_finalize(statement);
    return rows;
}

// The answer worked out from the catalogs themselves, read here directly.
std::string searchAnswer(const std::vector<std::string>& paths, const std::string& condition) {
    std::string answer = kDeclaration + "\n\n<result>\n\t<description window=\"\" tab=\"" + kView + "\" sqlquery=\"" +
                         condition + "\" />\n\t<records>\n";
    for (const auto& path : paths) {
        sqlite3* db = nullptr;
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        std::map<std::string, std::vector<std::string>> disks;
        for (auto& d : select(db, "SELECT disk, dtype, dname, dlabel, dpath, dd FROM disks ORDER BY disk")) {
            if (condition == kGetdisks)
                answer += recordLine({d[4], d[2], d[1], d[0] + "::/::" + d[5] + "::/::::/::::/::::/::::/::" + path,
                                      d[3], " ", " ", "vaxo-disk", " ", " "});
            disks[d[0]] = d;
        }
        if (condition != kGetdisks)
            for (auto& row :
                 select(db, "SELECT ppath, name, itype, disk, size, dcr, dmd, vis, mt, mc FROM paths WHERE " +
                                condition + " LIMIT 5000")) {
                const auto& d = disks.at(row[3]);
                row[3] +=
                    "::/::" + d[5] + "::/::" + d[1] + "::/::" + d[4] + "::/::" + d[3] + "::/::" + d[2] + "::/::" + path;
                answer += recordLine(row);
            }
        sqlite3_close(db);
    }
    return answer + "\t</records>\n</result>\n";
}

struct Exchange {
    std::string request, answer;
    bool queued;  // served by the search worker, not at once
};

std::string excerpt(const std::string& text, size_t at) {
    std::string shown;
    for (char c : text.substr(at < 40 ? 0 : at - 40, 80))
        shown += c == '\n' ? std::string("\\n") : c == '\t' ? "\\t" : std::string(1, c);
    return "\"" + shown + "\"";
}

struct Outcome {
    std::vector<double> immediateMs, queuedMs;
    std::vector<std::string> failures;
    int finished = 0;
};

struct Client {
    int fd = -1, number = 0;
    size_t step = 0;
    bool connecting = true, draining = false;
    std::string inbox, expected;
    Clock::time_point sentAt;
};

// Clients first..first+count-1 on non-blocking sockets, at most inFlight connected at once. Each
// sends the whole plan, starting at its own number's place, every request only after the whole
// previous answer; then it half-closes and wants the server's end, with nothing more before it.
void runClients(int port, const std::vector<Exchange>& plan, int first, int count, int inFlight,
                Clock::time_point deadline, Outcome& out) {
    std::vector<Client> active;
    int next = first;
    static thread_local char buffer[1 << 16];
    const auto fail = [&](Client& c, const std::string& what) {
        out.failures.push_back("client " + std::to_string(c.number) + ", request " + std::to_string(c.step) + ": " +
                               what);
        ::close(c.fd);
        c.fd = -1;
    };
    const auto exchangeOf = [&](const Client& c) -> const Exchange& { return plan[(c.number + c.step) % plan.size()]; };
    const auto sendNext = [&](Client& c) {
        // A search names its client in the view, which the answer repeats: an answer delivered on
        // another client's connection then differs.
        std::string text = exchangeOf(c).request;
        c.expected = exchangeOf(c).answer;
        if (exchangeOf(c).queued)
            for (std::string* marked : {&text, &c.expected})
                marked->insert(marked->find(kView) + kView.size(), "-" + std::to_string(c.number));
        c.sentAt = Clock::now();
        if (::send(c.fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
            fail(c, std::string("send: ") + std::strerror(errno));
    };
    const auto receive = [&](Client& c) {
        while (c.fd >= 0) {
            const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            if (n < 0) return fail(c, std::string("recv: ") + std::strerror(errno));
            if (n == 0 && c.draining) {
                ++out.finished;
                ::close(c.fd);
                c.fd = -1;
                return;
            }
            if (n == 0)
                return fail(c, "closed by the server after " + std::to_string(c.inbox.size()) + " bytes of its answer");
            if (c.draining)
                return fail(c,
                            std::to_string(n) + " bytes after the last answer: " + excerpt(std::string(buffer, n), 0));
            const std::string& expected = c.expected;
            const size_t at = c.inbox.size();
            c.inbox.append(buffer, static_cast<size_t>(n));
            const size_t common = std::min(c.inbox.size(), expected.size());
            const size_t differ =
                std::mismatch(c.inbox.begin() + at, c.inbox.begin() + common, expected.begin() + at).first -
                c.inbox.begin();
            if (differ < common)
                return fail(c, "answer differs at byte " + std::to_string(differ) + ": " + excerpt(c.inbox, differ) +
                                   " instead of " + excerpt(expected, differ));
            if (c.inbox.size() > expected.size())
                return fail(c, std::to_string(c.inbox.size() - expected.size()) +
                                   " bytes after the answer: " + excerpt(c.inbox, expected.size()));
            if (c.inbox.size() < expected.size()) continue;
            (exchangeOf(c).queued ? out.queuedMs : out.immediateMs).push_back(msBetween(c.sentAt, Clock::now()));
            c.inbox.clear();
            if (++c.step < plan.size()) {
                sendNext(c);
            } else {
                c.draining = true;
                ::shutdown(c.fd, SHUT_WR);
            }
        }
    };
    while (next < first + count || !active.empty()) {
        for (; static_cast<int>(active.size()) < inFlight && next < first + count && Clock::now() < deadline; ++next) {
            Client c;
            c.number = next;
            c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            const int on = 1;
            ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            const sockaddr_in address = loopback(port);
            if (::connect(c.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
                errno != EINPROGRESS)
                fail(c, std::string("connect: ") + std::strerror(errno));
            else
                active.push_back(std::move(c));
        }
        if (Clock::now() >= deadline) {
            for (Client& c : active)
                fail(c, c.connecting ? "never connected"
                                     : "unfinished, " + std::to_string(c.inbox.size()) + " bytes of its answer read");
            if (next < first + count)
                out.failures.push_back(std::to_string(first + count - next) + " clients never started");
            return;
        }
        std::vector<pollfd> polls;
        for (const Client& c : active) polls.push_back({c.fd, static_cast<short>(c.connecting ? POLLOUT : POLLIN), 0});
        ::poll(polls.data(), polls.size(), 100);
        for (size_t i = 0; i < active.size(); ++i) {
            Client& c = active[i];
            if (polls[i].revents == 0) continue;
            if (c.connecting) {
                int error = 0;
                socklen_t size = sizeof error;
                ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &size);
                c.connecting = false;
                if (error)
                    fail(c, std::string("connect: ") + std::strerror(error));
                else
                    sendNext(c);
            } else {
                receive(c);
            }
        }
        std::erase_if(active, [](const Client& c) { return c.fd < 0; });
    }
}

void merge(Outcome& into, const Outcome& from) {
    into.immediateMs.insert(into.immediateMs.end(), from.immediateMs.begin(), from.immediateMs.end());
    into.queuedMs.insert(into.queuedMs.end(), from.queuedMs.begin(), from.queuedMs.end());
    into.failures.insert(into.failures.end(), from.failures.begin(), from.failures.end());
    into.finished += from.finished;
}

void reportFailures(const Outcome& outcome) {
    for (size_t i = 0; i < outcome.failures.size() && i < 20; ++i) ADD_FAILURE() << outcome.failures[i];
    if (outcome.failures.size() > 20) ADD_FAILURE() << outcome.failures.size() - 20 << " more failures";
}

std::string percentiles(std::vector<double> ms) {
    if (ms.empty()) return "none";
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double p) { return ms[static_cast<size_t>(p * static_cast<double>(ms.size() - 1))]; };
    char text[160];
    std::snprintf(text, sizeof text, "n=%zu p50 %.2f  p90 %.2f  p99 %.2f  max %.2f ms", ms.size(), at(0.5), at(0.9),
                  at(0.99), ms.back());
    return text;
}

void printFigures(const char* what, const Figures& before, const Figures& peak, const Figures& after) {
    std::printf(
        "[load] %s: RSS %ld -> peak %ld -> %ld MB (VmHWM %ld MB); fds %ld -> %ld -> %ld (sockets %ld -> %ld -> %ld);"
        " threads %ld -> %ld -> %ld\n",
        what, before.rssKb / 1024, peak.rssKb / 1024, after.rssKb / 1024, after.hwmKb / 1024, before.fds, peak.fds,
        after.fds, before.sockets, peak.sockets, after.sockets, before.threads, peak.threads, after.threads);
}

class Load : public ::testing::Test {
 protected:
    void SetUp() override {
        const fs::path catalogs = server.folder() / "catalogs";
        fs::create_directories(app / "logs");
        fs::create_directory(catalogs);
        for (int k = 0; k < 4; ++k) {
            paths.push_back((catalogs / (k < 3 ? std::string(1, char('a' + k)) + ".vxo" : "big.vxo")).string());
            ASSERT_TRUE(writeCatalog(paths.back(), k, k < 3 ? 300 : 5000));
        }
        // The preferences in the parent of the application's folder name the list clients are offered.
        sqlite3* db = nullptr;
        sqlite3_open_v2((server.folder() / "preferences").c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr);
        ASSERT_TRUE(exec(db,
                         "CREATE TABLE DefDBs(paths TEXT); CREATE TABLE dbTarget(path TEXT); CREATE TABLE useDefDBs(io "
                         "INTEGER); CREATE TABLE defFont(name TEXT); INSERT INTO useDefDBs VALUES (0);"
                         "INSERT INTO DefDBs VALUES ('" +
                             paths[0] + "'), ('" + paths[1] + "'), ('" + paths[2] + "');"));
        sqlite3_close(db);
        port = test_support::freePort();
        server.writeFile("app/preferences-server.xml",
                         "<settings><variable name=\"port\" value=\"" + std::to_string(port) +
                             "\" /><variable name=\"limit_connections\" value=\"" + std::to_string(kLimitConnections) +
                             "\" /><variable name=\"limit_results_total\" value=\"1000000\" /><variable "
                             "name=\"limit_results_database\" value=\"5000\" /><variable name=\"use_spotlight\" "
                             "value=\"false\" /></settings>");
        server.setEnvironment("QUORVANTEL_APP_FOLDER", QString::fromStdString(app.string()));
        server.setEnvironment("QUORVANTEL_SYSTEM_VERSION", "10.4.11");
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(test_support::waitFor([&] { return logText().find("settings - maxcon:") != std::string::npos; }))
            << server.standardError();
        pid = serverPid();
        ASSERT_GT(pid, 0);

        const std::string data =
            "<data appcode=\"Vaxo\" action=\"%\" address=\"127.0.0.1\" status=\"ready\" system=\"Mac OS X 10.4.11\" "
            "/>\n";
        const std::string head = kDeclaration + "\n\n<answer>\n";
        const std::string pong = head + std::string(data).replace(data.find('%'), 1, "vaxo-pong") + "</answer>\n";
        std::string list = head + std::string(data).replace(data.find('%'), 1, "vaxo-dbzoznam") + "<databases>\n";
        for (int k = 0; k < 3; ++k)
            list += "<database name=\"" + fs::path(paths[k]).filename().string() + "\" path=\"" + paths[k] + "\" />\n";
        list += "</databases>\n</answer>\n";
        const auto search = [&](const std::string& command, std::vector<std::string> in, const std::string& condition) {
            return Exchange{requestText(command, in, condition), searchAnswer(in, condition), true};
        };
        plan = {{requestText("vaxo-ping", {}, ""), pong, false},
                search("vaxo-search", {paths[0]}, "name LIKE 'alpha%'"),
                {requestText("vaxo-getlist", {}, ""), list, false},
                search("vaxo-browse", {paths[0], paths[1]}, kGetdisks),
                {"hello, server", kDeclaration + "\n\n<answer>No result</answer>", false},
                search("vaxo-search", {paths[1], paths[2]}, "disk = 2 AND size < 100000"),
                {requestText("VAXO-Ping", {}, ""), pong, false},
                search("vaxo-search", {paths[0], paths[2]}, "name = 'nothing'"),
                search("vaxo-search", {paths[3]}, "id <= 150"),
                {requestText("vaxo-getlist", {}, ""), list, false}};
    }

    void TearDown() override {
        if (pid <= 0) return;
        EXPECT_EQ(server.terminate(), 0);
        // Without a display a message box (an unhandled exception, say) would show up here.
        EXPECT_EQ(server.standardError().find("quorvantel-server:"), std::string::npos) << server.standardError();
    }

    std::string logText() const {
        std::string text;
        std::error_code error;
        for (fs::directory_iterator it(app / "logs", error), end; !error && it != end; it.increment(error)) {
            std::ifstream in(it->path());
            text.append(std::istreambuf_iterator<char>(in), {});
        }
        return text;
    }

    // Reads the server's standard error so that its pipe never fills and blocks it.
    Figures sample(Figures& peak) {
        QCoreApplication::processEvents();
        server.standardError();
        const Figures now = figuresOf(pid);
        peak = peakOf(peak, now);
        return now;
    }

    test_support::ServerProcess server;
    const fs::path app = server.folder() / "app";
    std::vector<std::string> paths;
    std::vector<Exchange> plan;
    int port = 0;
    pid_t pid = -1;
};

TEST_F(Load, ManyClientsAtOnceGetEachAnswerExactlyOnceInOrderAndThoseBeyondTheLimitWait) {
    // One client alone first: a wrong expectation then shows once, plainly.
    Outcome alone;
    runClients(port, plan, 0, 1, 1, Clock::now() + 20s, alone);
    reportFailures(alone);
    ASSERT_EQ(alone.finished, 1);

    // 90 connections in flight against a limit of 50: 40 wait in the listen backlog, which stays
    // within Qt's 50, so that no handshake is dropped and retried seconds later.
    constexpr int kThreads = 6, kPerThread = 50, kInFlight = 15;
    Figures peak = figuresOf(pid);
    const Figures before = peak;
    std::vector<Outcome> outcomes(kThreads);
    std::atomic<int> running{kThreads};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            runClients(port, plan, 1 + t * kPerThread, kPerThread, kInFlight, start + 50s, outcomes[t]);
            --running;
        });
    while (running > 0) {
        sample(peak);
        std::this_thread::sleep_for(20ms);
    }
    for (auto& thread : threads) thread.join();
    const double seconds = msBetween(start, Clock::now()) / 1000;
    Outcome all;
    for (const auto& outcome : outcomes) merge(all, outcome);
    reportFailures(all);
    EXPECT_EQ(all.finished, kThreads * kPerThread);

    // Beyond its idle sockets the server holds at most the limit of connections and the one Qt has
    // taken off the kernel's queue.
    EXPECT_LE(peak.sockets - before.sockets, kLimitConnections + 1);
    // Sockets, not all descriptors: Qt's pooled threads come and go, each with its own eventfd.
    EXPECT_TRUE(test_support::waitFor([&] { return sample(peak).sockets <= before.sockets; }))
        << "connections left open";
    Outcome later;
    runClients(port, plan, 5000, 1, 1, Clock::now() + 20s, later);
    reportFailures(later);
    const Figures after = sample(peak);
    EXPECT_LT(after.hwmKb, kMemoryBoundKb);

    const size_t requests = all.immediateMs.size() + all.queuedMs.size();
    std::printf(
        "[load] %d clients x %zu requests (%d threads, %d connections in flight each, limit %d): %zu answers in %.2f s "
        "= %.0f requests/s\n",
        kThreads * kPerThread, plan.size(), kThreads, kInFlight, kLimitConnections, requests, seconds,
        static_cast<double>(requests) / seconds);
    std::printf("[load] immediate (ping, list, unknown): %s\n", percentiles(all.immediateMs).c_str());
    std::printf("[load] queued (search, browse):         %s\n", percentiles(all.queuedMs).c_str());
    printFigures("server", before, peak, after);
    RecordProperty("requests_per_second", std::to_string(static_cast<long>(static_cast<double>(requests) / seconds)));
    RecordProperty("peak_rss_kb", std::to_string(after.hwmKb));
}

TEST_F(Load, AClientThatNeverReadsIsCutOffWhileTheOthersAreServed) {
    const std::string condition = "id > 0";
    const std::string request = requestText("vaxo-search", {paths[3]}, condition);
    const size_t answerSize = searchAnswer({paths[3]}, condition).size();
    const std::string built = "SQL action: Query: " + condition + "; results: 5000";
    const auto answersBuilt = [&] {
        const std::string log = logText();
        size_t count = 0;
        for (size_t at = log.find(built); at != std::string::npos; at = log.find(built, at + 1)) ++count;
        return count;
    };

    Figures peak = figuresOf(pid);
    const Figures before = peak;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // A small receive buffer keeps what the kernels hold small next to what the server holds.
    const int receiveBuffer = 256 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const sockaddr_in address = loopback(port);
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

    // Past this the client stops asking, so that a server that never cuts it off stays bounded too.
    const size_t enough = kMaximumWaitingOutput + (size_t{32} << 20);
    size_t sent = 0;
    bool cut = false;
    Outcome others;
    const auto deadline = Clock::now() + 40s;
    while (!cut && Clock::now() < deadline) {
        sample(peak);
        pollfd state{fd, POLLOUT, 0};
        if (::poll(&state, 1, 0) == 1 && (state.revents & (POLLERR | POLLHUP))) cut = true;
        // The next request goes out once the server has built the last answer, so that requests
        // neither merge into one arrival nor pile up in the server's queue.
        if (cut || answersBuilt() < sent || sent * answerSize > enough) {
            std::this_thread::sleep_for(2ms);
            continue;
        }
        const ssize_t n = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET))
            cut = true;
        else
            ASSERT_EQ(n, static_cast<ssize_t>(request.size())) << std::strerror(errno);
        if (!cut && ++sent % 8 == 0) runClients(port, plan, static_cast<int>(sent) * 10, 3, 3, deadline, others);
    }
    ::close(fd);
    const int servedMeanwhile = others.finished;
    runClients(port, plan, 9000, 5, 5, Clock::now() + 20s, others);
    reportFailures(others);
    ASSERT_TRUE(cut) << "still connected after " << sent << " unread answers of " << answerSize << " bytes";
    EXPECT_GE(sent * answerSize, kMaximumWaitingOutput) << "cut off before its unread output reached 64 MiB";
    EXPECT_LE(sent * answerSize, enough) << "cut off long after 64 MiB";
    EXPECT_GT(servedMeanwhile, 0);
    EXPECT_EQ(others.finished, servedMeanwhile + 5);
    EXPECT_TRUE(test_support::waitFor([&] { return sample(peak).sockets <= before.sockets; }))
        << "the cut connection left open";
    const Figures after = sample(peak);
    EXPECT_LT(after.hwmKb, kMemoryBoundKb);

    std::printf(
        "[load] unread client: cut off after %zu answers of %zu bytes (%.1f MiB asked for); %d other clients served "
        "meanwhile, %d after\n",
        sent, answerSize, static_cast<double>(sent * answerSize) / (1 << 20), servedMeanwhile,
        others.finished - servedMeanwhile);
    std::printf("[load] others: immediate %s\n[load] others: queued    %s\n", percentiles(others.immediateMs).c_str(),
                percentiles(others.queuedMs).c_str());
    printFigures("server", before, peak, after);
}

}  // namespace
