// The real server against clients that would take its memory, its worker or its descriptors: a
// flood of queued searches, readers of big answers asked for two at a time, many clients that ask
// for the biggest answers and never read, and more clients than descriptors. Memory, CPU time and
// latencies are printed for whoever runs the test; the bounds asserted are generous.

#include "test_support/process_usage.h"
#include "test_support/server_process.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace test_support;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

#ifdef __SANITIZE_ADDRESS__
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// VmRSS and VmHWM of a process, in MB.
struct Memory {
    long rssMb = 0, hwmMb = 0;
};
Memory memoryOf(pid_t pid) { return {processStatusKb(pid, "VmRSS") / 1024, processStatusKb(pid, "VmHWM") / 1024}; }

// Seconds a ping takes on an open connection, or a large number when unanswered.
double pingSeconds(Client& client) {
    const auto sent = Clock::now();
    if (!client.send(request("vaxo-ping"))) return 999;
    return client.read("</answer>\n", SIZE_MAX, 10000).ends_with("</answer>\n") ? secondsSince(sent) : 999;
}

// A catalog of `rows` rows whose names are `nameBytes` letters long, so that its answer is fat.
bool makeFatCatalog(const fs::path& file, int rows, int nameBytes) {
    Sql sql(file);
    return sql("BEGIN; CREATE TABLE disks(disk, dtype, dname, dlabel, dpath, dd);"
               "INSERT INTO disks VALUES (1, 'HD', 'Work', 'Label', '/Volumes/Work', '2020');"
               "CREATE TABLE paths(ppath, name, itype, disk, size, dcr, dmd, vis, mt, mc);"
               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
               std::to_string(rows) + ") INSERT INTO paths SELECT '/Volumes/Work', printf('%." +
               std::to_string(nameBytes) + "c', 'x'), 'file', 1, i, 3000000000, 3000000001, 'true', 'TEXT', 'ttxt' "
               "FROM n; COMMIT; SELECT COUNT(*) FROM paths;") == std::vector<std::string>{std::to_string(rows)};
}

class ClientBounds : public ::testing::Test {
 protected:
    void TearDown() override {
        if (server.process().state() == QProcess::NotRunning) return;  // skipped, or quit by the test
        EXPECT_EQ(server.terminate(), 0) << "the server did not end by itself";
        EXPECT_EQ(server.standardError().find("quorvantel-server:"), std::string::npos) << server.standardError();
    }
    // Reads the server's standard error, so that its pipe never fills and blocks it.
    Memory sample(Memory& peak) {
        server.standardError();
        const Memory now = memoryOf(server.pid());
        peak = {std::max(peak.rssMb, now.rssMb), std::max(peak.hwmMb, now.hwmMb)};
        return now;
    }

    ServerProcess server;
};

// One client keeps the worker busy with slow searches; another sends searches as fast as the
// server takes them. The queue holds only so much: then the flooder is not read, while pings on
// a third connection are answered and the server's memory stays small.
TEST_F(ClientBounds, AFloodOfQueuedSearchesIsHeldBackByTCP) {
    const fs::path catalog = server.parentFolder() / "big.vxo";
    ASSERT_TRUE(makeCatalog(catalog, 20000, 25));
    ASSERT_TRUE(server.serve(10, 1'000'000, 100'000));
    Client busy, flooder, pinger;
    ASSERT_TRUE(busy.open(server.port()) && flooder.open(server.port()) && pinger.open(server.port()));
    // Seconds each: together they keep the worker busy for the whole flood.
    const std::string slow = request("vaxo-search", std::vector<std::string>(200, catalog.string()), "name LIKE '%absent%'");
    for (int i = 0; i < 16; ++i) {
        ASSERT_TRUE(busy.send(slow));
        std::this_thread::sleep_for(30ms);  // one arrival each
    }
    // Searches of 16 KB each (their unread field padded), each sent whole and at once after the
    // last: while the server keeps up, each arrival is one of them (or a few), queued whole.
    const std::string piece = fields({"", "vaxo-search", "flood", "flooder", std::string(16 * 1024, 'p'), "", "1=1"});
    const timeval patience{0, 100'000};
    ::setsockopt(flooder.fd(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    std::atomic<size_t> sent{0};
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        for (size_t offset = 0; !stop;) {
            const ssize_t n = ::send(flooder.fd(), piece.data() + offset, piece.size() - offset, MSG_NOSIGNAL);
            if (n <= 0) continue;  // held back: the system's buffers are full
            sent += static_cast<size_t>(n);
            offset = (offset + static_cast<size_t>(n)) % piece.size();
        }
    });
    Memory peak;
    double slowestPing = 0;
    for (const auto start = Clock::now(); secondsSince(start) < (kSanitized ? 6 : 8);) {
        sample(peak);
        slowestPing = std::max(slowestPing, pingSeconds(pinger));
        std::this_thread::sleep_for(50ms);
    }
    stop = true;
    flood.join();
    sample(peak);
    std::printf("[bounds] flood: %.1f MB sent while the worker was busy; server VmRSS peak %ld MB, VmHWM %ld MB; "
                "slowest ping %.3f s\n",
                static_cast<double>(sent) / 1e6, peak.rssMb, peak.hwmMb, slowestPing);
    // The sanitizers keep up to 256 MB of freed memory aside, and shadow what is in use.
    EXPECT_LT(peak.hwmMb, kSanitized ? 800 : 400);
    EXPECT_LT(slowestPing, 2.0);
    flooder.close(true);
    busy.close(true);
    EXPECT_TRUE(pingAnswered(server.port()));
}

// Two big answers asked for one after the other, the second before the first is through, and
// read at about 20 MB/s: both come whole, in order.
TEST_F(ClientBounds, AReaderGetsEveryBigAnswerItAsksFor) {
    const fs::path catalog = server.parentFolder() / "big.vxo";
    ASSERT_TRUE(makeCatalog(catalog, 5000, 25));
    ASSERT_TRUE(server.serve(10, 1'000'000, 5000));
    // About 100 MB each (40 MB under the sanitizers); the second differs in its view.
    const int copies = kSanitized ? 28 : 80;
    const std::vector<std::string> paths(static_cast<size_t>(copies), catalog.string());
    const std::string first = request("vaxo-search", paths, "size > 0", "first"), second = request("vaxo-search", paths, "size > 0", "second");
    Client reader;
    ASSERT_TRUE(reader.open(server.port(), 256 * 1024));
    ASSERT_TRUE(reader.send(first));
    ASSERT_TRUE(server.waitForLogLine("SQL action: Query: size > 0;"));
    std::string received;
    bool secondSent = false;
    int ends = 0;
    const auto start = Clock::now();
    constexpr double kRate = 20e6;
    while (!reader.ended && secondsSince(start) < 40) {
        // At most 20 MB for each second so far.
        const size_t allowed = static_cast<size_t>(secondsSince(start) * kRate);
        if (received.size() >= allowed) {
            std::this_thread::sleep_for(5ms);
            continue;
        }
        // The second answer is built once the first is out, which takes seconds under the sanitizers.
        // An answer's end stops the read, which would otherwise wait for bytes that never come.
        const std::string piece = reader.read("</result>\n", std::min(allowed - received.size(), size_t{256} << 10), 15000);
        if (piece.empty()) break;
        received += piece;
        if (!secondSent && received.size() > (size_t{8} << 20)) secondSent = reader.send(second);
        // A closing tag may straddle two pieces; one wholly in the previous piece was counted there.
        for (size_t at = received.find("</result>\n", received.size() - piece.size() - std::min<size_t>(received.size() - piece.size(), 9));
             at != std::string::npos; at = received.find("</result>\n", at + 1))
            ++ends;
        if (ends == 2) break;
    }
    const size_t split = received.find("<?xml", 1);
    ASSERT_NE(split, std::string::npos) << "only " << received.size() << " bytes came";
    const std::string answers[] = {received.substr(0, split), received.substr(split)};
    for (const std::string& answer : answers) {
        EXPECT_TRUE(isCompleteSearchAnswer(answer)) << answer.size() << " bytes";
        EXPECT_EQ(recordsPerCatalog(answer), (std::map<std::string, int>{{catalog.string(), copies * 5000}}));
    }
    EXPECT_NE(answers[1].find("tab=\"second\""), std::string::npos);
    EXPECT_FALSE(reader.ended);
    std::printf("[bounds] reader: two answers of %.1f MB each in %.1f s (%.1f MB/s)\n",
                static_cast<double>(answers[0].size()) / 1e6, secondsSince(start),
                static_cast<double>(received.size()) / 1e6 / secondsSince(start));
}

// A client reading a big answer at about 50 MB/s sends pings meanwhile, each its own arrival while
// the connection is owed much: each is answered, after the answer, however the server reads them.
TEST_F(ClientBounds, PingsSentWhileABigAnswerIsReadAreEachAnswered) {
    const fs::path catalog = server.parentFolder() / "big.vxo";
    ASSERT_TRUE(makeCatalog(catalog, 5000, 25));
    ASSERT_TRUE(server.serve(10, 1'000'000, 5000));
    const int copies = kSanitized ? 14 : 40;  // about 50 MB (20 MB under the sanitizers)
    Client reader;
    ASSERT_TRUE(reader.open(server.port(), 256 * 1024));
    ASSERT_TRUE(reader.send(request("vaxo-search", std::vector<std::string>(static_cast<size_t>(copies), catalog.string()), "size > 0")));
    ASSERT_TRUE(server.waitForLogLine("SQL action: Query: size > 0;"));
    std::string received;
    int pings = 0;
    const auto start = Clock::now();
    while (secondsSince(start) < 15) {
        if (pings < 2 && secondsSince(start) > 0.2 + 0.3 * pings) pings += reader.send(request("vaxo-ping"));
        const size_t allowed = static_cast<size_t>(secondsSince(start) * (kSanitized ? 10e6 : 50e6));
        if (received.size() >= allowed) {
            std::this_thread::sleep_for(2ms);
            continue;
        }
        // Short waits: a ping is due meanwhile.
        received += reader.read("</answer>\n", std::min(allowed - received.size(), size_t{256} << 10), 100);
        size_t pongs = 0;
        for (size_t at = received.find("vaxo-pong"); at != std::string::npos; at = received.find("vaxo-pong", at + 1)) ++pongs;
        if (pings == 2 && pongs == 2) break;
    }
    size_t pongs = 0;
    for (size_t at = received.find("vaxo-pong"); at != std::string::npos; at = received.find("vaxo-pong", at + 1)) ++pongs;
    EXPECT_EQ(pings, 2);
    EXPECT_EQ(pongs, 2u);
    EXPECT_LT(received.find("</result>\n"), received.find("vaxo-pong")) << "a ping was answered before the answer owed";
    std::printf("[bounds] two pings while reading %.1f MB: %zu pongs in %.1f s\n", static_cast<double>(received.size()) / 1e6,
                pongs, secondsSince(start));
}

// Ten clients ask for answers close to the 256 MiB budget and never read. The server builds them
// while the unsent answers leave room, cuts off those that have taken nothing for 10 s when they do
// not, and stays under 1.5 GiB meanwhile; another client's pings are answered throughout, and a
// quit ends the worker's wait at once.
TEST_F(ClientBounds, NonReadersOfTheBiggestAnswersAreBoundedTogether) {
    if (kSanitized) GTEST_SKIP() << "the sanitizers' own bookkeeping of 256 MiB answers would be measured";
    const fs::path catalog = server.parentFolder() / "fat.vxo";
    ASSERT_TRUE(makeFatCatalog(catalog, 24, 1'000'000));
    ASSERT_TRUE(server.serve(20, 1'000'000, 100'000));
    // Ten times 24 names of a million letters: about 240 MB each.
    const std::string text = request("vaxo-search", std::vector<std::string>(10, catalog.string()), "size > 0");
    Client pinger;
    ASSERT_TRUE(pinger.open(server.port()));
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 10; ++i) {
        idle.push_back(std::make_unique<Client>());
        ASSERT_TRUE(idle.back()->open(server.port(), 64 * 1024) && idle.back()->send(text));
    }
    Memory peak;
    double slowestPing = 0;
    const auto built = [&] {
        const std::string log = server.logText();
        size_t count = 0;
        for (size_t at = log.find("SQL action: Query: size > 0;"); at != std::string::npos; at = log.find("SQL action", at + 1)) ++count;
        return count;
    };
    const auto start = Clock::now();
    while (secondsSince(start) < 16) {
        sample(peak);
        slowestPing = std::max(slowestPing, pingSeconds(pinger));
        std::this_thread::sleep_for(100ms);
    }
    const size_t builtMeanwhile = built();
    int cut = 0;
    for (auto& client : idle) {
        pollfd state{client->fd(), POLLOUT, 0};
        cut += ::poll(&state, 1, 0) == 1 && (state.revents & (POLLERR | POLLHUP));
    }
    std::printf("[bounds] ten non-readers of %s-byte answers: %zu built and %d cut off in 16 s; server VmRSS peak "
                "%ld MB, VmHWM %ld MB; slowest ping %.3f s\n",
                "240 M", builtMeanwhile, cut, peak.rssMb, peak.hwmMb, slowestPing);
    EXPECT_LT(peak.hwmMb, 1536);
    EXPECT_LT(slowestPing, 2.0);
    EXPECT_GE(builtMeanwhile, 5u) << "the worker waited without cutting off those that took nothing";
    EXPECT_GE(cut, 1);
    // Once nothing has been built for 2 s the worker waits for room (a build takes about one);
    // quitting ends the wait.
    size_t last = built();
    for (auto since = Clock::now(); secondsSince(since) < 2 && secondsSince(start) < 40;) {
        std::this_thread::sleep_for(50ms);
        if (const size_t now = built(); now != last) {
            last = now;
            since = Clock::now();
        }
    }
    const auto quitting = Clock::now();
    EXPECT_EQ(server.terminate(), 0);
    EXPECT_LT(secondsSince(quitting), 5.0);
}

// More clients than the server has descriptors for, with a connection limit above them: the
// listener stops accepting for a while instead of spinning, and the connected clients' searches
// still open their catalogs.
TEST_F(ClientBounds, AtItsDescriptorLimitTheListenerRestsAndSearchesGoOn) {
    const fs::path catalog = server.parentFolder() / "a.vxo";
    ASSERT_TRUE(makeCatalog(catalog, 300, 25));
    server.process().setChildProcessModifier([] {
        const rlimit limit{64, 64};
        ::setrlimit(RLIMIT_NOFILE, &limit);
    });
    ASSERT_TRUE(server.serve(500, 2000, 500));
    Client first;
    ASSERT_TRUE(first.open(server.port()));
    ASSERT_GT(pingSeconds(first), 0);
    // More than the descriptors and the kernel's queue together; connecting without waiting, as
    // those beyond the queue are not answered by the system at once.
    std::vector<int> crowd;
    for (int i = 0; i < 90; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(server.port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        crowd.push_back(fd);
    }
    std::this_thread::sleep_for(500ms);
    const double cpuBefore = processCpuSeconds(server.pid());
    std::this_thread::sleep_for(5s);
    const double cpu = processCpuSeconds(server.pid()) - cpuBefore;
    ASSERT_EQ(server.process().state(), QProcess::Running) << server.standardError();
    const std::string search = request("vaxo-search", {catalog.string()}, "name LIKE 'needle%'");
    ASSERT_TRUE(first.send(search));
    const std::string answer = first.read("</result>\n");
    std::printf("[bounds] descriptor limit 64, %zu clients waiting: server CPU %.2f s in 5 s\n", crowd.size(), cpu);
    EXPECT_LT(cpu, 2.5);
    EXPECT_EQ(recordsPerCatalog(answer), (std::map<std::string, int>{{catalog.string(), 12}}));
    EXPECT_LT(pingSeconds(first), 2.0);
    for (int fd : crowd) ::close(fd);
    EXPECT_TRUE(waitFor([&] { return pingAnswered(server.port()); }, 20s));
}

}  // namespace
