#pragma once
// Limits for SQL that comes from outside: on one connection, statements may only read the
// tables named for them and call harmless functions, no statement runs past a deadline, and the
// sizes the engine accepts follow SQLite's guidance for untrusted SQL.
// Belongs to the thread that owns the connection; must outlive the connection's statements.

#include "platform/sql_database.h"

#include <chrono>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class SqlGuard {
 public:
    // Installs the limits on a connected database; they stay until the guard is destroyed.
    SqlGuard(Database& database, std::chrono::steady_clock::time_point deadline);
    ~SqlGuard();
    SqlGuard(const SqlGuard&) = delete;
    SqlGuard& operator=(const SqlGuard&) = delete;

    // The tables the next statements may read; reading any other table, the schema included, is denied.
    void allowReading(std::initializer_list<std::string_view> tables);

    // Past the deadline the engine interrupts any statement, which then fails like a statement
    // the engine rejects.
    void setDeadline(std::chrono::steady_clock::time_point deadline) { deadline_ = deadline; }
    bool timedOut() const { return timedOut_; }

 private:
    static int authorize(void* self, int action, const char* first, const char* second, const char* database,
                         const char* trigger);
    static int progress(void* self);

    Database& database_;
    std::chrono::steady_clock::time_point deadline_;
    std::vector<std::string> readableTables_;
    bool timedOut_ = false;
};

}  // namespace platform
