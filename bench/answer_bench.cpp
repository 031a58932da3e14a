// answer_bench --server EXECUTABLE --data FOLDER [--reps N]
// One search whose answer is about 333 000 records (about 100 MB), read by its client as fast as
// it comes, set against a direct loop that does the same SQLite work, builds the same bytes and
// writes them to a loopback socket read by another thread. Meanwhile another connection pings;
// the server's peak memory is read at the end. Server and direct runs alternate.
#include "bench_support.h"
#include "catalog_generator.h"
#include "server_watch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using bench::Clock;
using bench::median;
using bench::msSince;
using namespace std::chrono_literals;

namespace {

// Rows whose id leaves 0 to 6 divided by 21: 333 334 of the million-row catalog.
constexpr const char* kCondition = "id % 21 < 7";
constexpr int kLimitTotal = 1'000'000;
constexpr int kLimitDatabase = 400'000;
const bench::RequestWriter request{"bench", "answer_bench", "answerview"};

// A statement whose every row is handed to `row`.
template <typename Row>
void eachRow(sqlite3* db, const std::string& sql, Row&& row) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string("direct: ") + sqlite3_errmsg(db));
    while (sqlite3_step(statement) == SQLITE_ROW) row(statement);
    sqlite3_finalize(statement);
}

std::string_view text(sqlite3_stmt* statement, int column) {
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return bytes ? std::string_view(bytes, static_cast<size_t>(sqlite3_column_bytes(statement, column))) : "";
}

void appendWhole(std::string& out, double value) {
    char digits[64];
    const double rounded = std::round(value);
    std::snprintf(digits, sizeof digits, "%.0f", rounded == 0.0 ? 0.0 : rounded);
    out.append(digits);
}

// The answer the server gives for the search, built here from the catalog: the same statements,
// the same gates, the same text. The bench catalogs hold no quote or carriage return to clean.
std::string directAnswer(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("direct: cannot open " + path);
    }
    std::string answer = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n\n<result>\n"
                         "\t<description window=\"\" tab=\"answerview\" sqlquery=\"";
    answer.append(kCondition).append("\" />\n\t<records>\n");
    std::map<int, std::string> diskSuffix;
    eachRow(db, "SELECT * FROM disks ORDER BY disk ASC", [&](sqlite3_stmt* s) {
        std::string suffix;
        for (int column : {5, 1, 4, 3, 2}) suffix.append("::/::").append(text(s, column));
        diskSuffix[sqlite3_column_int(s, 0)] = suffix.append("::/::").append(path);
    });
    int64_t count = 0;
    eachRow(db, std::string("SELECT COUNT(*) FROM paths WHERE ") + kCondition,
            [&](sqlite3_stmt* s) { count = sqlite3_column_int64(s, 0); });
    if (count < kLimitTotal) {
        const std::string select = std::string("SELECT * FROM paths WHERE ") + kCondition + " LIMIT " +
                                   std::to_string(kLimitDatabase);
        // Columns of the generated catalog: id, ppath, name, itype, disk, size, dcr, dmd, vis, mt, mc.
        eachRow(db, select, [&](sqlite3_stmt* s) {
            answer.append("\t\t<record ppath=\"").append(text(s, 1));
            answer.append("\" name=\"").append(text(s, 2));
            answer.append("\" itype=\"").append(text(s, 3));
            answer.append("\" disk=\"").append(text(s, 4)).append(diskSuffix[sqlite3_column_int(s, 4)]);
            answer.append("\" size=\"");
            appendWhole(answer, sqlite3_column_double(s, 5));
            answer.append("\" dcr=\"");
            appendWhole(answer, sqlite3_column_double(s, 6));
            answer.append("\" dmd=\"");
            appendWhole(answer, sqlite3_column_double(s, 7));
            answer.append("\" vis=\"").append(text(s, 8));
            answer.append("\" mt=\"").append(text(s, 9));
            answer.append("\" mc=\"").append(text(s, 10)).append("\"/>\n");
        });
    }
    sqlite3_close(db);
    return answer.append("\t</records>\n</result>\n");
}

// A loopback connection whose far end a thread of its own reads and discards, counting.
class LoopbackSink {
 public:
    LoopbackSink() {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            throw std::runtime_error("no loopback listener");
        writer_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(writer_, reinterpret_cast<sockaddr*>(&address), size) != 0) throw std::runtime_error("no loopback");
        reader_ = ::accept(listener, nullptr, nullptr);
        ::close(listener);
        thread_ = std::thread([this] {
            std::vector<char> buffer(1 << 16);
            for (ssize_t n; (n = ::recv(reader_, buffer.data(), buffer.size(), 0)) > 0;) received_ += static_cast<size_t>(n);
        });
    }
    ~LoopbackSink() {
        ::shutdown(writer_, SHUT_WR);
        thread_.join();
        ::close(writer_);
        ::close(reader_);
    }

    // Sends all of it and returns once the reader has had the last byte.
    void deliver(const std::string& bytes) {
        const size_t target = received_ + bytes.size();
        for (size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(writer_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error("loopback send failed");
            sent += static_cast<size_t>(n);
        }
        while (received_ < target) std::this_thread::yield();
    }

 private:
    int writer_ = -1, reader_ = -1;
    std::atomic<size_t> received_{0};
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    std::string executable, data;
    int reps = 7;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--server") executable = argv[i + 1];
        else if (option == "--data") data = argv[i + 1];
        else if (option == "--reps") reps = std::max(1, std::atoi(argv[i + 1]));
    }
    if (executable.empty() || data.empty()) {
        std::fprintf(stderr, "usage: %s --server EXECUTABLE --data FOLDER [--reps N]\n", argv[0]);
        return 2;
    }
    try {
        data = fs::absolute(data).string();
        if (!bench::makeBenchCatalogs(data)) return 1;
        const std::string catalog = data + "/big-1m.vxo";
        bench::Server server({.executable = executable,
                              .folderName = "answer",
                              .settings = {{"limit_connections", "10"},
                                           {"limit_results_total", std::to_string(kLimitTotal)},
                                           {"limit_results_database", std::to_string(kLimitDatabase)},
                                           {"use_spotlight", "false"}}});
        server.waitForPong(request("vaxo-ping"));
        const std::string text = request("vaxo-search", {catalog}, kCondition);
        bench::Connection client(server.port());
        LoopbackSink sink;

        // Warm-up of each, and the check that both give the same bytes.
        const std::string served = client.search(text);
        const std::string direct = directAnswer(catalog);
        std::printf("one search, %s over %s: server %lld records in %.1f MB, direct %lld records in %.1f MB%s\n",
                    kCondition, catalog.c_str(), static_cast<long long>(bench::recordCount(served)),
                    static_cast<double>(served.size()) / 1e6, static_cast<long long>(bench::recordCount(direct)),
                    static_cast<double>(direct.size()) / 1e6, served == direct ? "" : "  <-- MISMATCH");
        sink.deliver(direct);

        std::vector<double> serverMs, directMs, pings;
        for (int i = 0; i < reps; ++i) {
            bench::Pinger pinger(server.port(), request("vaxo-ping"), 1ms);
            auto start = Clock::now();
            client.search(text);
            serverMs.push_back(msSince(start));
            const std::vector<double> latencies = pinger.stop();
            pings.insert(pings.end(), latencies.begin(), latencies.end());
            start = Clock::now();
            sink.deliver(directAnswer(catalog));
            directMs.push_back(msSince(start));
        }
        const double ratio = median(serverMs) / median(directMs);
        std::printf("\n%-34s %12s %12s %7s %9s  %s\n", "figure", "server", "direct", "ratio", "target", "result");
        std::printf("%-34s %9.1f ms %9.1f ms %7.3f %9s  %s\n", "search to last byte, median", median(serverMs),
                    median(directMs), ratio, "<= 1.30", ratio <= 1.30 ? "met" : "MISSED");
        std::printf("%-34s %s\n", "ping on another connection", bench::latencySummary(pings).c_str());
        std::printf("%-34s %.1f MB\n", "server peak memory (VmHWM)",
                    static_cast<double>(bench::peakMemoryKb(server.pid())) / 1024);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "answer_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
