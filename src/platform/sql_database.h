// Thin RAII wrapper over the SQLite 3 C API through which the catalog and preference code reach
// their databases. Not thread-safe: each Database and its RecordSets belong to one thread,
// except Database::Interrupt, which any thread may call.
#pragma once

#include <cstdint>
#include <cstdio>  // stdio's EOF must be defined before the fix-up below, never after it
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// RecordSet::EOF() keeps the name its callers were written against, but <cstdio> defines EOF as an
// object-like macro, which would turn every "rs->EOF()" into "rs->(-1)()". The macro is pointed at
// itself (so "#ifdef EOF" still holds and nothing redefines it) and stdio users get a constant instead.
#undef EOF
#define EOF EOF
inline constexpr int EOF = -1;

struct sqlite3;
struct sqlite3_stmt;

namespace platform {

namespace detail {
struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const noexcept;
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

struct ConnectionCloser {
  void operator()(sqlite3* connection) const noexcept;
};
using ConnectionPtr = std::unique_ptr<sqlite3, ConnectionCloser>;
}  // namespace detail

// One column of a row, copied out so that it stays valid after the record set moves on.
class Field {
 public:
  Field(std::string name, std::string text, int64_t integer, double real, bool isNull);

  const std::string& Name() const;
  std::string StringValue() const;
  // Wraps modulo 2^32 like static_cast: the server's integers (counts, disk numbers) are 32-bit.
  int32_t IntegerValue() const;
  double DoubleValue() const;
  bool IsNull() const;

 private:
  std::string name_;
  std::string text_;
  int64_t integer_;
  double real_;
  bool isNull_;
};

class Database;

// Rows of one statement. Once the rows run out (or stepping fails) the statement is finalised at once,
// so a finished record set that is kept around holds no lock on the file.
class RecordSet {
 public:
  ~RecordSet();
  RecordSet(const RecordSet&) = delete;
  RecordSet& operator=(const RecordSet&) = delete;

  bool EOF() const;
  void MoveNext();
  int FieldCount() const;
  // 1-based, as the catalog code counts columns.
  std::optional<Field> IdxField(int i) const;
  // An exact column name wins over one that differs only in ASCII case.
  std::optional<Field> FieldByName(std::string_view name) const;
  int ColumnIndex(std::string_view name) const;

  // Zero-based accessors without copies, for loops over many rows. Out of range or past the end they
  // give an empty/zero value rather than undefined behaviour. The text stays valid until MoveNext.
  std::string_view ColumnText(int zeroBasedIndex) const;
  double ColumnDouble(int zeroBasedIndex) const;
  int64_t ColumnInt64(int zeroBasedIndex) const;
  bool ColumnIsNull(int zeroBasedIndex) const;

  const std::string& LastError() const;
  void Close();

 private:
  friend class Database;
  explicit RecordSet(std::shared_ptr<detail::StatementPtr> statement);

  // Returns false when stepping failed; LastError() then says why.
  bool Step();
  sqlite3_stmt* CurrentRow(int zeroBasedIndex) const;

  // Shared with the owning Database only so that closing the connection can finalise it first.
  std::shared_ptr<detail::StatementPtr> statement_;
  std::vector<std::string> columnNames_;
  bool namesLoaded_ = false;
  bool hasRow_ = false;
  std::string lastError_;
};

// A row to insert. Setting a column twice replaces its value but keeps its first position.
class DatabaseRecord {
 public:
  void Column(const std::string& name, const std::string& value);
  const std::vector<std::pair<std::string, std::string>>& Columns() const;

 private:
  std::vector<std::pair<std::string, std::string>> columns_;
};

enum class OpenMode { ReadWrite, ReadOnly };

// One connection to an existing database file; made new for each use and never shared between threads.
class Database {
 public:
  static constexpr int kDefaultBusyTimeoutMs = 2000;

  Database();
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  void SetDatabaseFile(std::string absolutePath);
  // How long a statement waits for a lock held by another connection before failing. Applies to the
  // open connection at once and to later connections.
  void SetBusyTimeoutMs(int milliseconds);

  // Never creates a file. Fails for anything that is not an existing regular file holding a database.
  // beforeFirstRead runs on the new connection (Handle() is set) before SQLite reads anything from
  // the file, schema included: the place for hooks that must cover that first read too.
  bool Connect(OpenMode mode = OpenMode::ReadWrite, const std::function<void()>& beforeFirstRead = {});

  // While a statement is prepared, the engine may allocate at most this many bytes more (0: no
  // bound). Views and common table expressions are copied into the statements that use them, and
  // can be made to double at each level: preparing one can fill any memory, in one long call that
  // no interrupt reaches. Lowers SQLite's process-wide heap limit for the time of the call, so
  // only one thread of the process should rely on it.
  void SetPrepareHeapAllowance(int64_t bytes);

  // Any thread: makes the statement running on the connection fail as soon as the engine looks
  // (SQLite's interrupt). Does nothing while no connection is open; never races with closing.
  void Interrupt();

  // nullptr when the text is not exactly one statement, fails to prepare or fails on its first step.
  std::unique_ptr<RecordSet> SQLSelect(std::string_view sql);
  bool SQLExecute(std::string_view sql);
  bool InsertRecord(std::string_view table, const DatabaseRecord& record);

  // BEGIN IMMEDIATE takes the write lock up front, so a busy file is reported by BeginTransaction
  // (after the busy timeout) rather than halfway through the writes.
  bool BeginTransaction();
  // Both are harmless when no transaction is open: Commit returns true, Rollback does nothing.
  bool Commit();
  bool Rollback();
  bool InTransaction() const;

  // Finalises any record sets still open, rolls back an uncommitted transaction and closes.
  void Close();
  bool IsConnected() const;
  const std::string& ErrorMessage() const;
  // The engine's primary result code of the last failure (SQLITE_ERROR when it gave none). A
  // failed Connect gives SQLITE_CANTOPEN when the file itself could not be opened (missing, not a
  // regular file, refused), SQLITE_NOTADB for a file that is no database, and another code when a
  // database could not be read (a side file refused or damaged, the read interrupted).
  int ErrorCode() const;
  // After a failed Connect: true for a database that could not be read now (a side file refused,
  // damage, an interrupt), false for a file that is missing, not a regular file or no database.
  bool ConnectFailedOnADatabase() const;
  sqlite3* Handle() const;

 private:
  bool Fail(std::string message, int code = 1);
  bool FailFromConnection();
  // Prepares exactly one statement; anything but blanks, semicolons and comments after it is refused.
  detail::StatementPtr PrepareSingle(std::string_view sql);
  void FinaliseOpenRecordSets();

  void SetConnection(detail::ConnectionPtr connection);

  std::string path_;
  int busyTimeoutMs_ = kDefaultBusyTimeoutMs;
  int64_t prepareHeapAllowance_ = 0;
  // Guards connection_ against Interrupt from another thread while it is opened or closed; the
  // owning thread reads it without the lock, since only that thread changes it.
  std::mutex interruptMutex_;
  detail::ConnectionPtr connection_;
  std::vector<std::weak_ptr<detail::StatementPtr>> openStatements_;
  std::string errorMessage_;
  int errorCode_ = 0;
};

// Makes a group of writes permanent together or not at all: rolls back on destruction unless
// Commit() succeeded. Same thread rule as the Database it wraps.
class Transaction {
 public:
  explicit Transaction(Database& database);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // False when BEGIN failed; the writes would then not be grouped, so Commit() refuses too.
  bool Active() const;
  // False when BEGIN failed or the transaction already ended. When COMMIT itself fails the
  // transaction stays open and the destructor rolls it back.
  bool Commit();
  bool Rollback();

 private:
  Database& database_;
  bool active_ = false;
};

}  // namespace platform
