#include "platform/sql_guard.h"

#include "platform/sql_patterns.h"
#include "platform/text_rule.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace platform {

namespace {

// Functions a search condition may call: text, number and date helpers whose single call costs no
// more than a pass over its arguments and its result, which the value limit and the engine's heap
// limit bound, so that the deadline's interrupt, which acts between engine steps, is never far off.
// LIKE and GLOB compare longer, but stop at the deadline themselves. Denied: replace, instr and the
// trims with a set of characters, whose one call compares every position of a long text with a long
// argument; printf and format, whose width and precision run one call for seconds whatever the
// value limit; randomblob and zeroblob, which only make memory and time; load_extension and the
// sqlite_* introspection. The same long-running functions also fail where the file's own schema
// calls them (kLongRunningFunctions).
constexpr std::string_view kSafeFunctions[] = {
    "abs",    "avg",     "char",      "coalesce", "count",      "date",   "datetime", "glob",
    "group_concat", "hex", "ifnull",  "iif",      "julianday",  "length", "like",     "likelihood",
    "likely", "lower",   "ltrim",     "max",      "min",        "nullif", "quote",    "round",
    "rtrim",  "strftime", "substr",   "substring", "sum",       "time",   "total",    "trim",
    "typeof", "unicode", "upper",
};

// Denied by the authorizer, and failing when the file's schema calls them (-1: any number of
// arguments). The one-argument trims stay.
constexpr std::pair<const char*, int> kLongRunningFunctions[] = {
    {"printf", -1}, {"format", -1}, {"replace", 3}, {"instr", 2},     {"trim", 2},
    {"ltrim", 2},   {"rtrim", 2},   {"randomblob", 1},
};

// Sizes after SQLite's advice for untrusted input, wide enough for any sound catalog search. The
// value length is the guard's own.
constexpr std::array<std::pair<int, int>, 9> kLimits = {{
    {SQLITE_LIMIT_SQL_LENGTH, 110'000},  // a condition of 100 000 bytes and the statement around it
    {SQLITE_LIMIT_COLUMN, 200},
    {SQLITE_LIMIT_EXPR_DEPTH, 1000},  // the engine's own; the worker's stack is sized for it
    {SQLITE_LIMIT_COMPOUND_SELECT, 10},
    {SQLITE_LIMIT_VDBE_OP, 250'000},
    {SQLITE_LIMIT_FUNCTION_ARG, 8},
    {SQLITE_LIMIT_ATTACHED, 0},
    {SQLITE_LIMIT_LIKE_PATTERN_LENGTH, 1'000},
    {SQLITE_LIMIT_VARIABLE_NUMBER, 10},
}};

// The file's own schema statements are parsed each in one go, between two looks at the deadline.
constexpr int kSchemaStatementLimit = 1'000'000;
constexpr int kProgressInterval = 1000;  // engine steps between looks at the deadline
// What preparing one statement may allocate: far more than any sound statement needs, and
// reached in a fraction of a second by one built to double at each level.
constexpr int64_t kPrepareHeapAllowance = int64_t{32} << 20;
constexpr std::chrono::milliseconds kBusySleep{5};
// A statement started right after an interrupt clears it; the timer interrupts again this often
// until the guard goes.
constexpr std::chrono::milliseconds kInterruptRepeat{20};

// One thread for every guard of the process: it sleeps until the earliest deadline, then marks
// the guards whose deadline has passed and interrupts their connections.
class DeadlineTimer {
 public:
    static DeadlineTimer& instance() {
        static DeadlineTimer timer;
        return timer;
    }

    uint64_t watch(Database& database, SqlGuard::Clock::time_point deadline,
                   std::shared_ptr<std::atomic<bool>> expired) {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        watches_.emplace(++lastId_, Watch{&database, deadline, deadline, std::move(expired)});
        changed_.notify_one();
        return lastId_;
    }

    // Once this returns, the timer never touches that database again.
    void unwatch(uint64_t id) {
        std::lock_guard lock(mutex_);
        watches_.erase(id);
    }

    ~DeadlineTimer() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

 private:
    struct Watch {
        Database* database;
        SqlGuard::Clock::time_point deadline, nextInterrupt;
        std::shared_ptr<std::atomic<bool>> expired;
    };

    void run() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            const auto now = SqlGuard::Clock::now();
            auto wake = SqlGuard::Clock::time_point::max();
            for (auto& [id, watch] : watches_) {
                if (now >= watch.nextInterrupt) {
                    watch.expired->store(true);
                    watch.database->Interrupt();
                    watch.nextInterrupt = now + kInterruptRepeat;
                }
                wake = std::min(wake, watch.nextInterrupt);
            }
            if (wake == SqlGuard::Clock::time_point::max())
                changed_.wait(lock);
            else
                changed_.wait_until(lock, wake);
        }
    }

    std::mutex mutex_;  // guards watches_, lastId_, stopping_ and the start of thread_
    std::condition_variable changed_;
    std::map<uint64_t, Watch> watches_;
    uint64_t lastId_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace

SqlGuard::SqlGuard(Database& database, Clock::time_point deadline, int maxValueBytes)
    : database_(database),
      deadline_(deadline),
      maxValueBytes_(maxValueBytes),
      expired_(std::make_shared<std::atomic<bool>>(false)) {
    watch_ = DeadlineTimer::instance().watch(database_, deadline_, expired_);
}

SqlGuard::~SqlGuard() {
    DeadlineTimer::instance().unwatch(watch_);
    if (sqlite3* db = database_.Handle()) {
        sqlite3_set_authorizer(db, nullptr, nullptr);
        sqlite3_progress_handler(db, 0, nullptr, nullptr);
        sqlite3_busy_handler(db, nullptr, nullptr);
    }
}

void SqlGuard::configure() {
    sqlite3* db = database_.Handle();
    if (!db) return;
    // A hostile file must not make the engine trust its schema or load code. (The page checks of
    // cell_size_check cost every search several per cent; the engine's own checks of damaged
    // pages already turn them into errors.)
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
    // A file cut short while it is mapped would end the process with SIGBUS.
    sqlite3_int64 noMapping = 0;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_MMAP_SIZE, &noMapping);
    sqlite3_limit(db, SQLITE_LIMIT_SQL_LENGTH, kSchemaStatementLimit);
    database_.SetPrepareHeapAllowance(kPrepareHeapAllowance);
    sqlite3_busy_handler(db, &SqlGuard::busy, this);
    sqlite3_progress_handler(db, kProgressInterval, &SqlGuard::progress, this);
    installStoppablePatterns(db, expired_);
    // The file's own generated columns call functions unseen by the authorizer: those whose one
    // call can run long fail on this connection instead, whoever calls them.
    for (const auto& [name, arguments] : kLongRunningFunctions)
        sqlite3_create_function_v2(
            db, name, arguments, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
            [](sqlite3_context* context, int, sqlite3_value**) {
                sqlite3_result_error(context, "a function whose one call can run long is not allowed here", -1);
            },
            nullptr, nullptr, nullptr);
}

void SqlGuard::allowReading(std::initializer_list<std::string_view> tables) {
    readableTables_.assign(tables.begin(), tables.end());
    if (limited_) return;
    sqlite3* db = database_.Handle();
    if (!db) return;
    // Set after the file's schema was read, which these limits are not meant for.
    for (const auto& [limit, value] : kLimits) sqlite3_limit(db, limit, value);
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, maxValueBytes_);
    sqlite3_set_authorizer(db, &SqlGuard::authorize, this);
    limited_ = true;
}

bool SqlGuard::expired() const { return expired_->load() || Clock::now() >= deadline_; }

void SqlGuard::limitEngineHeap(int64_t bytes) { sqlite3_hard_heap_limit64(bytes); }

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

int SqlGuard::progress(void* self) { return static_cast<const SqlGuard*>(self)->expired() ? 1 : 0; }

int SqlGuard::busy(void* self, int attempt) {
    auto* guard = static_cast<SqlGuard*>(self);
    const auto now = Clock::now();
    if (attempt == 0) guard->waitStarted_ = now;
    if (guard->gaveUpWaiting_ || guard->expired() || now - guard->waitStarted_ >= kLockWait) {
        guard->gaveUpWaiting_ = true;
        return 0;
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(kBusySleep, guard->deadline_ - now));
    return 1;
}

}  // namespace platform
