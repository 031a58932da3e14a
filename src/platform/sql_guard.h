#pragma once
// Limits for SQL that comes from outside: on one connection, statements may only read the
// tables named for them and call harmless functions; every statement runs within a time bound,
// and the sizes the engine accepts follow SQLite's guidance for untrusted SQL.
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
    SqlGuard(Database& database, std::chrono::milliseconds statementTimeLimit);
    ~SqlGuard();
    SqlGuard(const SqlGuard&) = delete;
    SqlGuard& operator=(const SqlGuard&) = delete;

    // The tables the next statements may read; reading any other table, the schema included, is denied.
    void allowReading(std::initializer_list<std::string_view> tables);

    // Starts the time bound of a statement: call before preparing it. Past the bound the engine
    // interrupts the statement, which then fails like any statement the engine rejects.
    void startStatementClock();
    bool timedOut() const { return timedOut_; }

 private:
    static int authorize(void* self, int action, const char* first, const char* second, const char* database,
                         const char* trigger);
    static int progress(void* self);

    Database& database_;
    std::chrono::milliseconds timeLimit_;
    std::chrono::steady_clock::time_point deadline_;
    std::vector<std::string> readableTables_;
    bool timedOut_ = false;
};

}  // namespace platform
