#include "platform/sql_guard.h"

#include "platform/text_rule.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>

namespace platform {

namespace {

// Functions a search condition may call: text, number and date helpers whose cost grows no more
// than with the size of their arguments. The time bound is checked between engine steps, never
// inside one call, so nothing that can build huge texts or compare two long texts in one call is
// allowed (printf, replace, hex, instr, trim with a set of characters, group_concat; LIKE is
// bounded by its pattern length), nor randomblob and zeroblob, load_extension or the sqlite_*
// introspection.
constexpr std::string_view kSafeFunctions[] = {
    "abs",   "avg",    "char",       "coalesce", "count",   "date",   "datetime", "glob",
    "ifnull", "iif",   "julianday",  "length",   "like",    "likelihood", "likely", "lower",   "max",
    "min",   "nullif", "quote",      "round",    "strftime", "substr", "substring", "sum",     "time",
    "total", "typeof", "unicode",    "upper",
};

// Sizes after SQLite's advice for untrusted input, wide enough for any sound catalog search.
constexpr std::array<std::pair<int, int>, 10> kLimits = {{
    {SQLITE_LIMIT_LENGTH, 100'000},
    {SQLITE_LIMIT_SQL_LENGTH, 100'000},
    {SQLITE_LIMIT_COLUMN, 200},
    {SQLITE_LIMIT_EXPR_DEPTH, 200},
    {SQLITE_LIMIT_COMPOUND_SELECT, 10},
    {SQLITE_LIMIT_VDBE_OP, 250'000},
    {SQLITE_LIMIT_FUNCTION_ARG, 8},
    {SQLITE_LIMIT_ATTACHED, 0},
    {SQLITE_LIMIT_LIKE_PATTERN_LENGTH, 1'000},
    {SQLITE_LIMIT_VARIABLE_NUMBER, 10},
}};

constexpr int kProgressInterval = 1000;  // virtual machine steps between looks at the clock

}  // namespace

SqlGuard::SqlGuard(Database& database, std::chrono::steady_clock::time_point deadline)
    : database_(database), deadline_(deadline) {
    sqlite3* db = database_.Handle();
    if (!db) return;
    // A hostile file must not make the engine trust its schema or load code. (The page checks of
    // cell_size_check cost every search several per cent; the engine's own checks of damaged
    // pages already turn them into errors.)
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
    sqlite3_exec(db, "PRAGMA mmap_size=0;", nullptr, nullptr, nullptr);
    for (const auto& [limit, value] : kLimits) sqlite3_limit(db, limit, value);
    sqlite3_set_authorizer(db, &SqlGuard::authorize, this);
    sqlite3_progress_handler(db, kProgressInterval, &SqlGuard::progress, this);
}

SqlGuard::~SqlGuard() {
    if (sqlite3* db = database_.Handle()) {
        sqlite3_set_authorizer(db, nullptr, nullptr);
        sqlite3_progress_handler(db, 0, nullptr, nullptr);
    }
}

void SqlGuard::allowReading(std::initializer_list<std::string_view> tables) {
    readableTables_.assign(tables.begin(), tables.end());
}

int SqlGuard::authorize(void* self, int action, const char* first, const char* second, const char* database,
                        const char*) {
    const auto* guard = static_cast<const SqlGuard*>(self);
    switch (action) {
        case SQLITE_SELECT:
            return SQLITE_OK;
        case SQLITE_READ: {
            // Only the main database's own tables, and only those allowed for the statement.
            if (!first || (database && std::string_view(database) != "main")) return SQLITE_DENY;
            const std::string_view table(first);
            const bool allowed = std::any_of(guard->readableTables_.begin(), guard->readableTables_.end(),
                                             [table](const std::string& t) { return text::equalsNoCase(t, table); });
            return allowed ? SQLITE_OK : SQLITE_DENY;
        }
        case SQLITE_FUNCTION: {
            const std::string_view name(second ? second : "");
            const bool safe = std::any_of(std::begin(kSafeFunctions), std::end(kSafeFunctions),
                                          [name](std::string_view f) { return text::equalsNoCase(f, name); });
            return safe ? SQLITE_OK : SQLITE_DENY;
        }
        default:
            return SQLITE_DENY;
    }
}

int SqlGuard::progress(void* self) {
    auto* guard = static_cast<SqlGuard*>(self);
    if (std::chrono::steady_clock::now() < guard->deadline_) return 0;
    guard->timedOut_ = true;
    return 1;  // interrupts the statement
}

}  // namespace platform
