#pragma once
// Tools for the fault tests of the real server: catalog and preferences files made with the
// SQLite C API, a plain POSIX client that can leave before its answer, the immutable flag (as
// root the one way to make a write fail), damage to files, and another process that holds a lock
// on a database. Main thread of the test only.

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

// The settings file the server writes itself, with the given port and limits.
std::string settingsText(int port, int totalLimit = 2000, int perDatabaseLimit = 500);

// A catalog with one disk and `rows` rows in `paths`; every `matchEvery`-th row is named
// "needle<i>", all others "file<i>.dat", so "name LIKE '%needle%'" scans every row and matches
// rows / matchEvery of them. Returns false when the file cannot be made.
bool makeCatalog(const std::filesystem::path& file, int rows, int matchEvery);

// Runs SQL on a database file, creating it when missing.
bool executeSql(const std::filesystem::path& file, const std::string& sql);
// The DefDBs rows as "rowid path", in row id order; a rewrite numbers the rows afresh.
std::vector<std::string> storedDefaults(const std::filesystem::path& preferences);

// Request texts: fields joined by ]':'[, the catalog paths by "::".
std::string searchRequest(const std::vector<std::string>& paths, const std::string& condition);
std::string pingRequest();

// One connection over loopback, with every wait bounded.
class Client {
 public:
    Client() = default;
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool open(int port);
    bool send(const std::string& bytes);
    // Reads until `terminator` ends what came (or the peer closes, or `timeoutMs` pass).
    std::string readUntil(const std::string& terminator, int timeoutMs = 20000);
    // reset: the peer sees a reset instead of an orderly end.
    void close(bool reset = false);

 private:
    int fd_ = -1;
};

// Connects, sends, reads the answer up to the terminator; empty when no connection was made.
std::string exchange(int port, const std::string& request, const std::string& terminator, int timeoutMs = 20000);
bool pingAnswered(int port);

// A search answer from its head to its tail, whatever lies between.
bool isCompleteSearchAnswer(const std::string& answer);
std::vector<std::string> recordLines(const std::string& answer);
// Records per catalog path, taken from the last part of each record's disk attribute.
std::map<std::string, int> recordsPerCatalog(const std::string& answer);

// Sets the immutable attribute for its lifetime; clears it again whatever happens.
class ImmutableFlag {
 public:
    explicit ImmutableFlag(std::filesystem::path path);
    ~ImmutableFlag();
    ImmutableFlag(const ImmutableFlag&) = delete;
    ImmutableFlag& operator=(const ImmutableFlag&) = delete;
    bool active() const { return active_; }

 private:
    std::filesystem::path path_;
    bool active_ = false;
};

// Overwrites `length` bytes from the middle of a file with pseudo-random bytes from `seed`.
bool scribbleOverMiddle(const std::filesystem::path& file, size_t length, unsigned seed);

// Another process that runs `sql` on a database and keeps its transaction (and its lock) open
// until release() or destruction.
class LockHolder {
 public:
    LockHolder() = default;
    ~LockHolder();
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    // True once the other process holds the lock.
    bool start(const std::filesystem::path& database, const std::string& sql);
    // Ends the transaction; true when the other process ended cleanly.
    bool release();

 private:
    pid_t child_ = -1;
    int releaseFd_ = -1;
};

// The first process other than this one that holds `file` open (seen in /proc/<pid>/fd), waited
// for up to `timeoutMs`; -1 when none did.
pid_t processHoldingOpen(const std::filesystem::path& file, int timeoutMs = 10000);
// Waits until `pid` has read `bytes` more than when called (its rchar in /proc/<pid>/io), or has
// ended, or `timeoutMs` pass; true only in the first case.
bool waitUntilProcessReads(pid_t pid, long long bytes, int timeoutMs = 10000);

// The month's log file name as the server forms it for the current local time.
std::string currentLogFileName();
// Each entry of a folder with its kind and content (symbolic link target, file bytes).
std::map<std::string, std::string> folderSnapshot(const std::filesystem::path& folder);

}  // namespace test_support
