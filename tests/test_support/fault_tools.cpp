#include "test_support/fault_tools.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace test_support {

namespace fs = std::filesystem;

namespace {

constexpr char kFieldSeparator[] = "]':'[";
constexpr char kAnswerHead[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n\n<result>\n\t<description ";
constexpr char kAnswerTail[] = "\t</records>\n</result>\n";

std::string readWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

int millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

// Waits for a child to end, killing it when it does not within about ten seconds.
int reap(pid_t child) {
    int status = 0;
    for (int i = 0; i < 500; ++i) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) return status;
        if (done < 0 && errno != EINTR) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    return -1;
}

}  // namespace

std::string settingsText(int port, int totalLimit, int perDatabaseLimit) {
    std::ostringstream text;
    text << "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n\n<settings>\n"
         << "     <variable name=\"port\" value=\"" << port << "\" />\n"
         << "     <variable name=\"limit_connections\" value=\"10\" />\n"
         << "     <variable name=\"limit_results_total\" value=\"" << totalLimit << "\" />\n"
         << "     <variable name=\"limit_results_database\" value=\"" << perDatabaseLimit << "\" />\n"
         << "     <variable name=\"use_spotlight\" value=\"false\" />\n</settings>\n";
    return text.str();
}

bool makeCatalog(const fs::path& file, int rows, int matchEvery) {
    std::error_code ignored;
    fs::remove(file, ignored);
    // One statement builds all rows, so that a catalog of some hundred thousand rows is quick.
    const std::string sql =
        "BEGIN;"
        "CREATE TABLE disks(disk, dtype, dname, dlabel, dpath, dd);"
        "INSERT INTO disks VALUES (1, 'HD', 'Work', 'Label', '/Volumes/Work', '2020');"
        "CREATE TABLE paths(ppath, name, itype, disk, size, dcr, dmd, vis, mt, mc);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(rows) + ") "
        "INSERT INTO paths SELECT '/Volumes/Work/folder' || (i / 100), "
        "CASE WHEN i % " + std::to_string(matchEvery) + " = 0 THEN 'needle' || i ELSE 'file' || i || '.dat' END, "
        "'file', 1, i, 3000000000, 3000000001, 'true', 'TEXT', 'ttxt' FROM n;"
        "COMMIT;";
    return executeSql(file, sql);
}

bool executeSql(const fs::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    const bool ok = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK &&
                    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

std::vector<std::string> storedDefaults(const fs::path& preferences) {
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_open_v2(preferences.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT rowid, paths FROM DefDBs ORDER BY rowid", -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const auto* path = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
            rows.push_back(std::to_string(sqlite3_column_int64(statement, 0)) + " " + (path ? path : ""));
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

std::string searchRequest(const std::vector<std::string>& paths, const std::string& condition) {
    std::string joined;
    for (size_t i = 0; i < paths.size(); ++i) joined += (i ? "::" : "") + paths[i];
    const std::string fields[] = {"", "vaxo-search", "fault test", "tester", "", joined, condition, "v", ""};
    std::string text;
    for (size_t i = 0; i < std::size(fields); ++i) text += (i ? kFieldSeparator : "") + fields[i];
    return text;
}

std::string pingRequest() { return std::string(kFieldSeparator) + "vaxo-ping" + kFieldSeparator + "fault test" + kFieldSeparator + "tester"; }

Client::~Client() { close(); }

bool Client::open(int port) {
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close();
        return false;
    }
    return true;
}

bool Client::send(const std::string& bytes) {
    size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return fd_ >= 0;
}

std::string Client::readUntil(const std::string& terminator, int timeoutMs) {
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fd_ >= 0 && !endsWith(received, terminator)) {
        pollfd wait{fd_, POLLIN, 0};
        const int ready = ::poll(&wait, 1, millisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[65536];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        received.append(buffer, static_cast<size_t>(n));
    }
    return received;
}

void Client::close(bool reset) {
    if (fd_ < 0) return;
    if (reset) {
        const linger abortive{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    ::close(fd_);
    fd_ = -1;
}

std::string exchange(int port, const std::string& request, const std::string& terminator, int timeoutMs) {
    Client client;
    if (!client.open(port) || !client.send(request)) return {};
    return client.readUntil(terminator, timeoutMs);
}

bool pingAnswered(int port) {
    return exchange(port, pingRequest(), "</answer>\n", 5000).find("action=\"vaxo-pong\"") != std::string::npos;
}

bool isCompleteSearchAnswer(const std::string& answer) {
    return answer.rfind(kAnswerHead, 0) == 0 && endsWith(answer, kAnswerTail) &&
           answer.find(" />\n\t<records>\n") != std::string::npos;
}

std::vector<std::string> recordLines(const std::string& answer) {
    std::vector<std::string> lines;
    std::istringstream in(answer);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("\t\t<record ", 0) == 0) lines.push_back(line);
    return lines;
}

std::map<std::string, int> recordsPerCatalog(const std::string& answer) {
    std::map<std::string, int> counts;
    for (const std::string& line : recordLines(answer)) {
        const size_t start = line.find(" disk=\"");
        const size_t end = start == std::string::npos ? start : line.find('"', start + 7);
        const std::string disk = end == std::string::npos ? std::string() : line.substr(start + 7, end - start - 7);
        const size_t last = disk.rfind("::/::");
        ++counts[last == std::string::npos ? std::string("<no catalog path>") : disk.substr(last + 5)];
    }
    return counts;
}

ImmutableFlag::ImmutableFlag(fs::path path) : path_(std::move(path)) {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags |= FS_IMMUTABLE_FL;
        active_ = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
}

ImmutableFlag::~ImmutableFlag() {
    if (!active_) return;
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags &= ~FS_IMMUTABLE_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    ::close(fd);
}

bool scribbleOverMiddle(const fs::path& file, size_t length, unsigned seed) {
    std::error_code error;
    const auto size = fs::file_size(file, error);
    if (error || size < length) return false;
    std::fstream out(file, std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(static_cast<std::streamoff>(size / 2 - length / 2));
    std::mt19937 random(seed);
    std::string bytes(length, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random() & 0xff);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

LockHolder::~LockHolder() { release(); }

bool LockHolder::start(const fs::path& database, const std::string& sql) {
    release();
    int ready[2], proceed[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return false;
    if (::pipe2(proceed, O_CLOEXEC) != 0) {
        ::close(ready[0]);
        ::close(ready[1]);
        return false;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        // Only this thread lives on in the child: it touches nothing of the test but the pipes.
        ::close(ready[0]);
        ::close(proceed[1]);
        sqlite3* db = nullptr;
        const bool held = sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
                          sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
        const char answer = held ? '1' : '0';
        if (::write(ready[1], &answer, 1) != 1) ::_exit(2);
        char go = 0;
        while (::read(proceed[0], &go, 1) < 0 && errno == EINTR) {
        }
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        ::_exit(held ? 0 : 1);
    }
    ::close(ready[1]);
    ::close(proceed[0]);
    if (child < 0) {
        ::close(ready[0]);
        ::close(proceed[1]);
        return false;
    }
    child_ = child;
    releaseFd_ = proceed[1];
    pollfd wait{ready[0], POLLIN, 0};
    char answer = 0;
    const bool held = ::poll(&wait, 1, 10000) == 1 && ::read(ready[0], &answer, 1) == 1 && answer == '1';
    ::close(ready[0]);
    return held;
}

bool LockHolder::release() {
    if (child_ < 0) return false;
    const char go = 1;
    if (::write(releaseFd_, &go, 1) != 1) {
        // The child then sees the end of the pipe below.
    }
    ::close(releaseFd_);
    releaseFd_ = -1;
    const int status = reap(child_);
    child_ = -1;
    return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

pid_t processHoldingOpen(const fs::path& file, int timeoutMs) {
    const std::string target = file.string();
    const std::string self = std::to_string(::getpid());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        std::error_code error;
        for (fs::directory_iterator process("/proc", error), end; !error && process != end; process.increment(error)) {
            const std::string pid = process->path().filename().string();
            if (pid == self || pid.find_first_not_of("0123456789") != std::string::npos) continue;
            std::error_code ignored;
            for (fs::directory_iterator fd(process->path() / "fd", ignored), none; !ignored && fd != none; fd.increment(ignored)) {
                std::error_code unreadable;
                if (fs::read_symlink(fd->path(), unreadable).string() == target) return static_cast<pid_t>(std::stol(pid));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (std::chrono::steady_clock::now() < deadline);
    return -1;
}

namespace {
long long bytesReadBy(pid_t pid) {
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    for (std::string key; io >> key;) {
        long long value = 0;
        if (!(io >> value)) break;
        if (key == "rchar:") return value;
    }
    return -1;
}
}  // namespace

bool waitUntilProcessReads(pid_t pid, long long bytes, int timeoutMs) {
    const long long start = bytesReadBy(pid);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (start >= 0 && std::chrono::steady_clock::now() < deadline) {
        const long long now = bytesReadBy(pid);
        if (now < 0) return false;
        if (now - start >= bytes) return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

std::string currentLogFileName() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char name[64];
    std::snprintf(name, sizeof name, "serverlog-%d-%02d.log", local.tm_year + 1900, local.tm_mon + 1);
    return name;
}

std::map<std::string, std::string> folderSnapshot(const fs::path& folder) {
    std::map<std::string, std::string> entries;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (it->is_symlink())
            entries[name] = "link to " + fs::read_symlink(it->path(), error).string();
        else if (it->is_directory())
            entries[name] = "folder";
        else if (it->is_regular_file())
            entries[name] = "file: " + readWhole(it->path());
        else
            entries[name] = "other";
    }
    return entries;
}

}  // namespace test_support
