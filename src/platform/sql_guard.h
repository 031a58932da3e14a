#pragma once
// Limits for SQL that comes from outside, on one connection: statements may only read the tables
// named for them and call functions whose single call stays short, nothing runs past a deadline
// (a timer thread interrupts the engine there, lock waits end there), the schema of the file is
// not trusted, and the sizes the engine accepts follow SQLite's guidance for untrusted SQL.
// Belongs to the thread that owns the connection; declare it after its Database, so that it is
// gone before the connection closes.

#include "platform/sql_database.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class SqlGuard {
 public:
    using Clock = std::chrono::steady_clock;

    // How long one lock held by another connection is waited for, within the deadline. After one
    // wait has run out, later statements on the connection do not wait again.
    static constexpr std::chrono::milliseconds kLockWait{2000};

    // Watches the database (connected or not) from now on: at the deadline a timer interrupts
    // whatever runs on it, and from then on every statement fails at once. maxValueBytes is the
    // largest text or blob a statement may read or make.
    SqlGuard(Database& database, Clock::time_point deadline, int maxValueBytes);
    ~SqlGuard();
    SqlGuard(const SqlGuard&) = delete;
    SqlGuard& operator=(const SqlGuard&) = delete;

    // For Database::Connect's beforeFirstRead: untrusted schema, no extensions, lock waits and
    // LIKE and GLOB that end at the deadline. The first read, schema included, is then covered too.
    void configure();

    // The tables the next statements may read; reading any other table, the schema included, is
    // denied. The first call also sets the limits for SQL from outside.
    void allowReading(std::initializer_list<std::string_view> tables);

    // The deadline has passed: statements are interrupted and fail.
    bool expired() const;

    // Bounds what SQLite allocates in the whole process, so that the values a file's schema can
    // make (as many per row as a table has columns) cannot take the machine's memory.
    static void limitEngineHeap(int64_t bytes);

 private:
    static int authorize(void* self, int action, const char* first, const char* second, const char* database,
                         const char* trigger);
    static int progress(void* self);
    static int busy(void* self, int attempt);

    Database& database_;
    const Clock::time_point deadline_;
    const int maxValueBytes_;
    // Set by the timer thread at the deadline; read by the engine's hooks on the owning thread.
    std::shared_ptr<std::atomic<bool>> expired_;
    uint64_t watch_ = 0;
    std::vector<std::string> readableTables_;
    bool limited_ = false;
    Clock::time_point waitStarted_;
    bool gaveUpWaiting_ = false;
};

}  // namespace platform
