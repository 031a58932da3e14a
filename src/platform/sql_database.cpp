#include "platform/sql_database.h"

#include "platform/regular_file_vfs.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <system_error>

namespace platform {

namespace detail {

void StatementFinalizer::operator()(sqlite3_stmt* statement) const noexcept {
  sqlite3_finalize(statement);
}

void ConnectionCloser::operator()(sqlite3* connection) const noexcept {
  // close_v2 cannot fail on statements someone else left open (a hardening hook, say): the
  // connection is then freed when the last of them is finalised instead of leaking here.
  sqlite3_close_v2(connection);
}

}  // namespace detail

namespace {

constexpr char kNotConnected[] = "no database connection";

bool IsSqlBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// Decides whether the text after the first statement may be ignored. Anything that is not a blank,
// a semicolon or a comment (a NUL byte included) counts as a further statement, so
// "SELECT ...; DROP TABLE ..." cannot slip through with only its first half checked.
bool OnlyBlanksAndComments(std::string_view rest) {
  size_t i = 0;
  while (i < rest.size()) {
    const char c = rest[i];
    if (c == ';' || IsSqlBlank(c)) {
      ++i;
    } else if (rest.substr(i, 2) == "--") {
      const size_t end = rest.find('\n', i + 2);
      if (end == std::string_view::npos) return true;
      i = end + 1;
    } else if (rest.substr(i, 2) == "/*") {
      const size_t end = rest.find("*/", i + 2);
      // SQLite lets an unterminated block comment run to the end of the text.
      if (end == std::string_view::npos) return true;
      i = end + 2;
    } else {
      return false;
    }
  }
  return true;
}

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

// Lowers SQLite's heap limits to what is in use plus an allowance, and restores them.
class HeapAllowance {
 public:
  explicit HeapAllowance(int64_t bytes)
      : active_(bytes > 0),
        hard_(active_ ? sqlite3_hard_heap_limit64(-1) : 0),
        soft_(active_ ? sqlite3_soft_heap_limit64(-1) : 0) {
    if (!active_) return;
    const int64_t limit = sqlite3_memory_used() + bytes;
    sqlite3_hard_heap_limit64(hard_ > 0 ? std::min(hard_, limit) : limit);
  }
  ~HeapAllowance() {
    if (!active_) return;
    sqlite3_hard_heap_limit64(hard_);
    sqlite3_soft_heap_limit64(soft_);  // lowering the hard limit lowered this one too
  }
  HeapAllowance(const HeapAllowance&) = delete;
  HeapAllowance& operator=(const HeapAllowance&) = delete;

 private:
  const bool active_;
  const int64_t hard_, soft_;
};

std::string QuoteIdentifier(std::string_view name) {
  std::string quoted;
  quoted.reserve(name.size() + 2);
  quoted += '"';
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

Field::Field(std::string name, std::string text, int64_t integer, double real, bool isNull)
    : name_(std::move(name)),
      text_(std::move(text)),
      integer_(integer),
      real_(real),
      isNull_(isNull) {}

const std::string& Field::Name() const { return name_; }

std::string Field::StringValue() const { return text_; }

int32_t Field::IntegerValue() const { return static_cast<int32_t>(integer_); }

double Field::DoubleValue() const { return real_; }

bool Field::IsNull() const { return isNull_; }

// ---------------------------------------------------------------------------------------------

RecordSet::RecordSet(std::shared_ptr<detail::StatementPtr> statement)
    : statement_(std::move(statement)) {}

RecordSet::~RecordSet() = default;

bool RecordSet::EOF() const { return !hasRow_ || !statement_ || !*statement_; }

void RecordSet::MoveNext() {
  if (!statement_ || !*statement_) {
    if (hasRow_ && lastError_.empty()) lastError_ = "the database connection was closed";
    hasRow_ = false;
    return;
  }
  Step();
}

bool RecordSet::Step() {
  sqlite3_stmt* statement = statement_->get();
  hasRow_ = false;
  const int rc = sqlite3_step(statement);
  if (!namesLoaded_) {
    // Read after the first step rather than after preparing: a schema change by another connection
    // in between makes SQLite prepare the statement again, possibly with other columns.
    const int count = sqlite3_column_count(statement);
    columnNames_.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      const char* name = sqlite3_column_name(statement, i);
      columnNames_.emplace_back(name ? name : "");
    }
    namesLoaded_ = true;
  }
  if (rc == SQLITE_ROW) {
    hasRow_ = true;
    return true;
  }
  const bool ok = rc == SQLITE_DONE;
  if (!ok) lastError_ = sqlite3_errmsg(sqlite3_db_handle(statement));
  Close();
  return ok;
}

int RecordSet::FieldCount() const { return static_cast<int>(columnNames_.size()); }

sqlite3_stmt* RecordSet::CurrentRow(int zeroBasedIndex) const {
  if (EOF() || zeroBasedIndex < 0 || zeroBasedIndex >= FieldCount()) return nullptr;
  return statement_->get();
}

std::optional<Field> RecordSet::IdxField(int i) const {
  const int index = i - 1;
  sqlite3_stmt* statement = CurrentRow(index);
  if (!statement) return std::nullopt;
  // The type is only meaningful before any conversion, so it is read first; text before bytes is
  // the order SQLite documents as safe.
  const bool isNull = sqlite3_column_type(statement, index) == SQLITE_NULL;
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, index));
  const auto size = static_cast<size_t>(sqlite3_column_bytes(statement, index));
  return Field(columnNames_[static_cast<size_t>(index)],
               text ? std::string(text, size) : std::string(),
               sqlite3_column_int64(statement, index), sqlite3_column_double(statement, index),
               isNull);
}

std::optional<Field> RecordSet::FieldByName(std::string_view name) const {
  const int index = ColumnIndex(name);
  if (index < 0) return std::nullopt;
  return IdxField(index + 1);
}

int RecordSet::ColumnIndex(std::string_view name) const {
  for (size_t i = 0; i < columnNames_.size(); ++i) {
    if (columnNames_[i] == name) return static_cast<int>(i);
  }
  for (size_t i = 0; i < columnNames_.size(); ++i) {
    if (EqualsIgnoringAsciiCase(columnNames_[i], name)) return static_cast<int>(i);
  }
  return -1;
}

std::string_view RecordSet::ColumnText(int zeroBasedIndex) const {
  sqlite3_stmt* statement = CurrentRow(zeroBasedIndex);
  if (!statement) return {};
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, zeroBasedIndex));
  if (!text) return {};
  return {text, static_cast<size_t>(sqlite3_column_bytes(statement, zeroBasedIndex))};
}

double RecordSet::ColumnDouble(int zeroBasedIndex) const {
  sqlite3_stmt* statement = CurrentRow(zeroBasedIndex);
  return statement ? sqlite3_column_double(statement, zeroBasedIndex) : 0.0;
}

int64_t RecordSet::ColumnInt64(int zeroBasedIndex) const {
  sqlite3_stmt* statement = CurrentRow(zeroBasedIndex);
  return statement ? sqlite3_column_int64(statement, zeroBasedIndex) : 0;
}

bool RecordSet::ColumnIsNull(int zeroBasedIndex) const {
  sqlite3_stmt* statement = CurrentRow(zeroBasedIndex);
  return !statement || sqlite3_column_type(statement, zeroBasedIndex) == SQLITE_NULL;
}

const std::string& RecordSet::LastError() const { return lastError_; }

void RecordSet::Close() {
  hasRow_ = false;
  statement_.reset();
}

// ---------------------------------------------------------------------------------------------

void DatabaseRecord::Column(const std::string& name, const std::string& value) {
  for (auto& column : columns_) {
    if (column.first == name) {
      column.second = value;
      return;
    }
  }
  columns_.emplace_back(name, value);
}

const std::vector<std::pair<std::string, std::string>>& DatabaseRecord::Columns() const {
  return columns_;
}

// ---------------------------------------------------------------------------------------------

Database::Database() = default;

Database::~Database() { Close(); }

void Database::SetDatabaseFile(std::string absolutePath) { path_ = std::move(absolutePath); }

void Database::SetBusyTimeoutMs(int milliseconds) {
  busyTimeoutMs_ = std::max(0, milliseconds);
  if (connection_) sqlite3_busy_timeout(connection_.get(), busyTimeoutMs_);
}

bool Database::Connect(OpenMode mode, const std::function<void()>& beforeFirstRead) {
  Close();
  if (path_.empty()) return Fail("no database file set", SQLITE_CANTOPEN);

  // A relative name such as "file:x.db" or ":memory:" means something else to SQLite (this build
  // reads "file:" names as URIs); an absolute path guarantees SQLite opens the file checked below.
  std::error_code error;
  const std::string file = std::filesystem::absolute(path_, error).string();
  if (error) return Fail("cannot resolve database path " + path_ + ": " + error.message(), SQLITE_CANTOPEN);

  // The file layer refuses anything but a regular file on the descriptor it opened, for the side
  // files too, which closes every gap between a look and an open. This look only spares a device
  // that the path names already the side effects of being opened at all.
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return Fail("database file does not exist: " + file, SQLITE_CANTOPEN);
  if (!S_ISREG(info.st_mode)) return Fail("database path is not a regular file: " + file, SQLITE_CANTOPEN);

  const int flags = (mode == OpenMode::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                    SQLITE_OPEN_NOMUTEX;
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(file.c_str(), &raw, flags, regularFileVfsName());
  detail::ConnectionPtr connection(raw);  // SQLite hands out a handle even when opening fails
  if (rc != SQLITE_OK) {
    return Fail(raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc), SQLITE_CANTOPEN);
  }
  sqlite3_busy_timeout(raw, busyTimeoutMs_);
  // Held from here on, so that the probe below can be interrupted like any statement.
  SetConnection(std::move(connection));
  if (beforeFirstRead) beforeFirstRead();

  // SQLite reads nothing until the first statement, so without this a text file would "connect".
  sqlite3_stmt* rawProbe = nullptr;
  detail::StatementPtr probe;
  int probeRc = sqlite3_prepare_v2(raw, "SELECT count(*) FROM sqlite_master", -1, &rawProbe, nullptr);
  probe.reset(rawProbe);
  if (probeRc == SQLITE_OK) probeRc = sqlite3_step(rawProbe);
  // A database that another process holds locked is still a database: its statements fail
  // later, where the caller can tell the failure from a file that is none.
  const bool inUse = (probeRc & 0xff) == SQLITE_BUSY || (probeRc & 0xff) == SQLITE_LOCKED;
  if (probeRc != SQLITE_ROW && !inUse) {
    // A side file refused shows as CANTOPEN too; it is a database that cannot be read now.
    Fail(sqlite3_errmsg(raw), (probeRc & 0xff) == SQLITE_CANTOPEN ? SQLITE_IOERR : probeRc);
    probe.reset();
    SetConnection(nullptr);
    return false;
  }
  return true;
}

void Database::SetConnection(detail::ConnectionPtr connection) {
  std::lock_guard lock(interruptMutex_);
  connection_ = std::move(connection);
}

void Database::SetPrepareHeapAllowance(int64_t bytes) { prepareHeapAllowance_ = std::max<int64_t>(0, bytes); }

void Database::Interrupt() {
  std::lock_guard lock(interruptMutex_);
  if (connection_) sqlite3_interrupt(connection_.get());
}

detail::StatementPtr Database::PrepareSingle(std::string_view sql) {
  if (!connection_) {
    Fail(kNotConnected);
    return nullptr;
  }
  if (sql.empty()) {
    Fail("empty SQL text");
    return nullptr;
  }
  if (sql.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
    Fail("SQL text too long");
    return nullptr;
  }
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  int rc;
  {
    const HeapAllowance allowance(prepareHeapAllowance_);
    rc = sqlite3_prepare_v2(connection_.get(), sql.data(), static_cast<int>(sql.size()), &raw, &tail);
  }
  detail::StatementPtr statement(raw);
  if (rc != SQLITE_OK) {
    FailFromConnection();
    return nullptr;
  }
  if (!statement) {
    Fail("no SQL statement in the text");
    return nullptr;
  }
  const size_t used = tail ? static_cast<size_t>(tail - sql.data()) : sql.size();
  if (!OnlyBlanksAndComments(sql.substr(used))) {
    Fail("SQL text holds more than one statement");
    return nullptr;
  }
  return statement;
}

std::unique_ptr<RecordSet> Database::SQLSelect(std::string_view sql) {
  detail::StatementPtr statement = PrepareSingle(sql);
  if (!statement) return nullptr;
  auto shared = std::make_shared<detail::StatementPtr>(std::move(statement));
  std::erase_if(openStatements_, [](const auto& weak) { return weak.expired(); });
  openStatements_.push_back(shared);

  std::unique_ptr<RecordSet> records(new RecordSet(std::move(shared)));
  if (!records->Step()) {
    Fail(records->LastError(), sqlite3_extended_errcode(connection_.get()));
    return nullptr;
  }
  return records;
}

bool Database::SQLExecute(std::string_view sql) {
  detail::StatementPtr statement = PrepareSingle(sql);
  if (!statement) return false;
  int rc = SQLITE_ROW;
  while (rc == SQLITE_ROW) rc = sqlite3_step(statement.get());
  if (rc != SQLITE_DONE) return FailFromConnection();
  return true;
}

bool Database::InsertRecord(std::string_view table, const DatabaseRecord& record) {
  if (!connection_) return Fail(kNotConnected);
  const auto& columns = record.Columns();
  std::string sql = "INSERT INTO " + QuoteIdentifier(table);
  if (columns.empty()) {
    sql += " DEFAULT VALUES";
  } else {
    std::string names;
    std::string placeholders;
    for (size_t i = 0; i < columns.size(); ++i) {
      if (i > 0) {
        names += ", ";
        placeholders += ", ";
      }
      names += QuoteIdentifier(columns[i].first);
      placeholders += '?';
    }
    sql += " (" + names + ") VALUES (" + placeholders + ")";
  }

  detail::StatementPtr statement = PrepareSingle(sql);
  if (!statement) return false;
  for (size_t i = 0; i < columns.size(); ++i) {
    const std::string& value = columns[i].second;
    // SQLITE_STATIC is safe: the record outlives the statement, which is finalised before returning.
    if (sqlite3_bind_text64(statement.get(), static_cast<int>(i + 1), value.data(), value.size(),
                            SQLITE_STATIC, SQLITE_UTF8) != SQLITE_OK) {
      return FailFromConnection();
    }
  }
  if (sqlite3_step(statement.get()) != SQLITE_DONE) return FailFromConnection();
  return true;
}

bool Database::BeginTransaction() {
  if (!connection_) return Fail(kNotConnected);
  if (InTransaction()) return Fail("a transaction is already open");
  return SQLExecute("BEGIN IMMEDIATE");
}

bool Database::Commit() {
  if (!connection_) return Fail(kNotConnected);
  if (!InTransaction()) return true;
  return SQLExecute("COMMIT");
}

bool Database::Rollback() {
  if (!connection_) return Fail(kNotConnected);
  if (!InTransaction()) return true;
  return SQLExecute("ROLLBACK");
}

bool Database::InTransaction() const {
  return connection_ && sqlite3_get_autocommit(connection_.get()) == 0;
}

void Database::FinaliseOpenRecordSets() {
  for (auto& weak : openStatements_) {
    if (auto statement = weak.lock()) statement->reset();
  }
  openStatements_.clear();
}

void Database::Close() {
  if (!connection_) return;
  // Finalised here rather than left to close_v2: a record set used after Close then reads as
  // finished instead of stepping a statement on a dead connection.
  FinaliseOpenRecordSets();
  if (InTransaction()) sqlite3_exec(connection_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  SetConnection(nullptr);
}

bool Database::IsConnected() const { return connection_ != nullptr; }

const std::string& Database::ErrorMessage() const { return errorMessage_; }

sqlite3* Database::Handle() const { return connection_.get(); }

int Database::ErrorCode() const { return errorCode_; }

bool Database::ConnectFailedOnADatabase() const {
  return !connection_ && errorCode_ != SQLITE_OK && errorCode_ != SQLITE_CANTOPEN && errorCode_ != SQLITE_NOTADB;
}

bool Database::Fail(std::string message, int code) {
  errorMessage_ = std::move(message);
  errorCode_ = code & 0xff;
  return false;
}

bool Database::FailFromConnection() {
  return Fail(sqlite3_errmsg(connection_.get()), sqlite3_extended_errcode(connection_.get()));
}

// ---------------------------------------------------------------------------------------------

Transaction::Transaction(Database& database)
    : database_(database), active_(database.BeginTransaction()) {}

Transaction::~Transaction() {
  if (active_) database_.Rollback();
}

bool Transaction::Active() const { return active_; }

bool Transaction::Commit() {
  if (!active_ || !database_.Commit()) return false;
  active_ = false;
  return true;
}

bool Transaction::Rollback() {
  if (!active_) return false;
  active_ = false;
  return database_.Rollback();
}

}  // namespace platform
