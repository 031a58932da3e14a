#include "platform/sql_database.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <set>
#include <sstream>

namespace platform {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A second, independent connection: sets files up, checks results without trusting the wrapper,
// and plays the "other process" that holds locks.
class RawConnection {
 public:
  explicit RawConnection(const fs::path& file) {
    sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  }
  ~RawConnection() { sqlite3_close(db_); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool Exec(const std::string& sql) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  std::string Text(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    std::string result = "<error>";
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      result = text ? text : "<null>";
    }
    sqlite3_finalize(statement);
    return result;
  }

 private:
  sqlite3* db_ = nullptr;
};

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

class SqlDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("quorvantel-sqldb-" + std::to_string(::getpid()) + "-" + std::to_string(std::random_device{}()));
    ASSERT_TRUE(fs::create_directory(dir_));
    dbFile_ = dir_ / "catalog.db";
    RawConnection raw(dbFile_);
    ASSERT_TRUE(raw.Exec("CREATE TABLE items(id INTEGER PRIMARY KEY, Name TEXT, big INTEGER,"
                         " ratio REAL, note TEXT);"
                         "INSERT INTO items VALUES(1, 'seed', 0, 0, NULL);"));
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  void Open(Database& db, OpenMode mode = OpenMode::ReadWrite) {
    db.SetDatabaseFile(dbFile_.string());
    ASSERT_TRUE(db.Connect(mode)) << db.ErrorMessage();
  }
  std::string Count(const std::string& table = "items") {
    RawConnection raw(dbFile_);
    return raw.Text("SELECT count(*) FROM \"" + table + "\"");
  }

  fs::path dir_;
  fs::path dbFile_;
};

// --- connecting -------------------------------------------------------------------------------

TEST_F(SqlDatabaseTest, ConnectsOnlyToExistingDatabaseFilesAndNeverCreatesOne) {
  struct Case {
    const char* what;
    std::function<fs::path()> make;
    bool connects;
  };
  const std::vector<Case> cases = {
      {"real database", [&] { return dbFile_; }, true},
      {"missing file", [&] { return dir_ / "missing.db"; }, false},
      {"text file", [&] { std::ofstream(dir_ / "notes.txt") << "not a database\n"; return dir_ / "notes.txt"; }, false},
      {"directory", [&] { fs::create_directory(dir_ / "folder"); return dir_ / "folder"; }, false},
  };
  for (const Case& c : cases) {
    for (OpenMode mode : {OpenMode::ReadWrite, OpenMode::ReadOnly}) {
      SCOPED_TRACE(std::string(c.what) + (mode == OpenMode::ReadOnly ? " read-only" : " read-write"));
      Database db;
      db.SetDatabaseFile(c.make().string());
      EXPECT_EQ(db.Connect(mode), c.connects);
      EXPECT_EQ(db.IsConnected(), c.connects);
      EXPECT_EQ(db.ErrorMessage().empty(), c.connects);
    }
  }
  std::set<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir_)) left.insert(entry.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"catalog.db", "folder", "notes.txt"}));
}

TEST_F(SqlDatabaseTest, FifoIsRefusedWithoutBlocking) {
  const fs::path fifo = dir_ / "pipe.db";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (OpenMode mode : {OpenMode::ReadOnly, OpenMode::ReadWrite}) {
    auto connected = std::async(std::launch::async, [&] {
      Database db;
      db.SetDatabaseFile(fifo.string());
      return db.Connect(mode);
    });
    if (connected.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
      // Let a reader stuck in open() go, so the failure is reported instead of hanging the run.
      const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) ::close(writer);
      ADD_FAILURE() << "Connect blocked on a FIFO";
    }
    EXPECT_FALSE(connected.get());
  }
}

TEST_F(SqlDatabaseTest, ReadOnlyConnectionCannotWrite) {
  const std::string before = ReadFile(dbFile_);
  Database db;
  Open(db, OpenMode::ReadOnly);
  EXPECT_NE(db.SQLSelect("SELECT * FROM items"), nullptr);
  EXPECT_FALSE(db.SQLExecute("INSERT INTO items(Name) VALUES('x')"));
  EXPECT_FALSE(db.ErrorMessage().empty());
  DatabaseRecord record;
  record.Column("Name", "y");
  EXPECT_FALSE(db.InsertRecord("items", record));
  db.Close();
  EXPECT_EQ(ReadFile(dbFile_), before);
}

// --- statement text ---------------------------------------------------------------------------

TEST_F(SqlDatabaseTest, SelectRefusesFaultyOrCompoundText) {
  Database db;
  Open(db);
  const std::vector<std::string> refused = {
      "SELECT * FROM nowhere",
      "SELECT nothing FROM items",
      "SELEKT * FROM items",
      "SELECT abs(-9223372036854775808)",  // fails on its first step, not when prepared
      "",
      "  -- nothing but a comment",
      "SELECT 1; SELECT 2",
      "SELECT 1; DROP TABLE items",
      "SELECT 1; garbage",
      std::string("SELECT 1\0; DROP TABLE items", 27),
  };
  for (const std::string& sql : refused) {
    SCOPED_TRACE(sql);
    EXPECT_EQ(db.SQLSelect(sql), nullptr);
    EXPECT_FALSE(db.ErrorMessage().empty());
  }
  EXPECT_FALSE(db.SQLExecute("INSERT INTO items(Name) VALUES('a'); INSERT INTO items(Name) VALUES('b')"));
  EXPECT_FALSE(db.SQLExecute("DELETE FROM items; garbage"));
  EXPECT_EQ(Count(), "1");  // nothing ran, not even the first statement
}

TEST_F(SqlDatabaseTest, SelectAcceptsTrailingBlanksSemicolonsAndComments) {
  Database db;
  Open(db);
  for (const char* sql : {"SELECT 7;", "SELECT 7 ;; \n\t", "SELECT 7; -- done", "SELECT 7 /* a */ ; /* b */",
                          "SELECT 7; /* unterminated"}) {
    SCOPED_TRACE(sql);
    auto rs = db.SQLSelect(sql);
    ASSERT_NE(rs, nullptr) << db.ErrorMessage();
    EXPECT_EQ(rs->ColumnInt64(0), 7);
  }
}

// --- reading rows -----------------------------------------------------------------------------

TEST_F(SqlDatabaseTest, RecordSetWalksRowsOfEveryValueKind) {
  RawConnection raw(dbFile_);
  ASSERT_TRUE(raw.Exec("DELETE FROM items;"
                       "INSERT INTO items VALUES(1, 'O''Brien said \"hi\"', 4294967297, 2.5, NULL);"
                       "INSERT INTO items VALUES(2, 'Zürich – 東京', 2147483648, -0.125, '12abc');"
                       "INSERT INTO items VALUES(3, NULL, -2147483649, NULL, 'x');"));
  struct Row {
    const char* name;  // nullptr for NULL
    int64_t big;
    int32_t bigAs32;
    double ratio;
    const char* ratioText;
    const char* note;
    int32_t noteAsInteger;
  };
  const Row expected[] = {
      {"O'Brien said \"hi\"", 4294967297, 1, 2.5, "2.5", nullptr, 0},
      {"Zürich – 東京", 2147483648, INT32_MIN, -0.125, "-0.125", "12abc", 12},
      {nullptr, -2147483649, INT32_MAX, 0.0, "", "x", 0},
  };

  Database db;
  Open(db);
  auto rs = db.SQLSelect("SELECT id, Name, big, ratio, note FROM items ORDER BY id");
  ASSERT_NE(rs, nullptr) << db.ErrorMessage();
  ASSERT_EQ(rs->FieldCount(), 5);
  const int nameColumn = rs->ColumnIndex("NAME");
  ASSERT_EQ(nameColumn, 1);
  for (const Row& row : expected) {
    SCOPED_TRACE(row.ratioText);
    ASSERT_FALSE(rs->EOF());
    EXPECT_FALSE(rs->IdxField(0).has_value());
    EXPECT_FALSE(rs->IdxField(6).has_value());
    EXPECT_EQ(rs->IdxField(5)->Name(), "note");

    const auto name = rs->FieldByName("name");
    ASSERT_TRUE(name.has_value());
    EXPECT_EQ(name->Name(), "Name");
    EXPECT_EQ(name->IsNull(), row.name == nullptr);
    EXPECT_EQ(name->StringValue(), row.name ? row.name : "");
    EXPECT_EQ(rs->ColumnText(nameColumn), row.name ? row.name : "");
    EXPECT_EQ(rs->ColumnIsNull(nameColumn), row.name == nullptr);

    EXPECT_EQ(rs->IdxField(3)->IntegerValue(), row.bigAs32);
    EXPECT_EQ(rs->ColumnInt64(2), row.big);
    EXPECT_EQ(rs->IdxField(4)->DoubleValue(), row.ratio);
    EXPECT_EQ(rs->IdxField(4)->StringValue(), row.ratioText);
    EXPECT_EQ(rs->ColumnDouble(3), row.ratio);
    EXPECT_EQ(rs->FieldByName("note")->IntegerValue(), row.noteAsInteger);
    EXPECT_EQ(rs->FieldByName("note")->IsNull(), row.note == nullptr);
    rs->MoveNext();
  }
  EXPECT_TRUE(rs->EOF());
  EXPECT_TRUE(rs->LastError().empty());
  EXPECT_EQ(rs->FieldCount(), 5);
  EXPECT_FALSE(rs->IdxField(1).has_value());
  EXPECT_TRUE(rs->ColumnText(1).empty());
  rs->MoveNext();  // past the end stays at the end
  EXPECT_TRUE(rs->EOF());
}

TEST_F(SqlDatabaseTest, ColumnLookupPrefersExactNameAndFoldsOnlyAsciiCase) {
  Database db;
  Open(db);
  auto rs = db.SQLSelect("SELECT 1 AS a, 2 AS A, 3 AS \"É\", CAST(X'610062' AS TEXT) AS nul");
  ASSERT_NE(rs, nullptr) << db.ErrorMessage();
  EXPECT_EQ(rs->FieldByName("a")->IntegerValue(), 1);
  EXPECT_EQ(rs->FieldByName("A")->IntegerValue(), 2);
  EXPECT_EQ(rs->ColumnIndex("É"), 2);
  EXPECT_EQ(rs->ColumnIndex("é"), -1);
  EXPECT_EQ(rs->ColumnIndex("NUL"), 3);
  EXPECT_EQ(rs->ColumnIndex("missing"), -1);
  EXPECT_FALSE(rs->FieldByName("missing").has_value());
  // Text is measured in bytes, not up to the first NUL.
  EXPECT_EQ(rs->FieldByName("nul")->StringValue(), std::string("a\0b", 3));
  EXPECT_EQ(rs->ColumnText(3), std::string_view("a\0b", 3));
}

TEST_F(SqlDatabaseTest, EmptyResultIsAtEndAtOnce) {
  Database db;
  Open(db);
  auto rs = db.SQLSelect("SELECT * FROM items WHERE id < 0");
  ASSERT_NE(rs, nullptr) << db.ErrorMessage();
  EXPECT_TRUE(rs->EOF());
  EXPECT_EQ(rs->FieldCount(), 5);
  EXPECT_FALSE(rs->IdxField(1).has_value());
}

TEST_F(SqlDatabaseTest, ErrorWhileSteppingEndsTheSetWithItsReason) {
  Database db;
  Open(db);
  auto rs = db.SQLSelect("SELECT abs(x) FROM (SELECT 1 AS x UNION ALL SELECT -9223372036854775808)");
  ASSERT_NE(rs, nullptr) << db.ErrorMessage();
  EXPECT_EQ(rs->ColumnInt64(0), 1);
  rs->MoveNext();
  EXPECT_TRUE(rs->EOF());
  EXPECT_NE(rs->LastError().find("overflow"), std::string::npos) << rs->LastError();
}

// --- writing ----------------------------------------------------------------------------------

TEST_F(SqlDatabaseTest, InsertRecordQuotesNamesAndBindsValues) {
  RawConnection raw(dbFile_);
  ASSERT_TRUE(raw.Exec("CREATE TABLE \"odd \"\"table\"\"\"(\"it's\" TEXT, \"say \"\"hi\"\"\" TEXT, n INTEGER)"));
  Database db;
  Open(db);
  DatabaseRecord record;
  record.Column("it's", "O'Reilly'); DROP TABLE items; --");
  record.Column("say \"hi\"", "\"quoted\"");
  record.Column("n", "42");
  record.Column("n", "43");  // replaces, does not add a second "n"
  ASSERT_TRUE(db.InsertRecord("odd \"table\"", record)) << db.ErrorMessage();
  EXPECT_EQ(raw.Text("SELECT \"it's\" FROM \"odd \"\"table\"\"\""), "O'Reilly'); DROP TABLE items; --");
  EXPECT_EQ(raw.Text("SELECT \"say \"\"hi\"\"\" FROM \"odd \"\"table\"\"\""), "\"quoted\"");
  EXPECT_EQ(raw.Text("SELECT typeof(n) || n FROM \"odd \"\"table\"\"\""), "integer43");

  DatabaseRecord hostile;
  hostile.Column("Name\") VALUES('x'); DROP TABLE items; --", "v");
  EXPECT_FALSE(db.InsertRecord("items", hostile));
  EXPECT_FALSE(db.InsertRecord("no_such_table", record));
  EXPECT_TRUE(db.InsertRecord("items", DatabaseRecord()));  // a row of defaults
  EXPECT_EQ(Count(), "2");
}

TEST_F(SqlDatabaseTest, TransactionKeepsWritesOnlyWhenCommitted) {
  Database db;
  Open(db);
  DatabaseRecord record;
  record.Column("Name", "replacement");
  {
    Transaction tx(db);
    ASSERT_TRUE(tx.Active()) << db.ErrorMessage();
    EXPECT_TRUE(db.SQLExecute("DELETE FROM items"));
    EXPECT_TRUE(db.InsertRecord("items", record));
  }
  EXPECT_FALSE(db.InTransaction());
  EXPECT_EQ(Count(), "1");
  EXPECT_EQ(RawConnection(dbFile_).Text("SELECT Name FROM items"), "seed");
  {
    Transaction tx(db);
    EXPECT_TRUE(db.SQLExecute("DELETE FROM items"));
    EXPECT_TRUE(db.InsertRecord("items", record));
    EXPECT_TRUE(tx.Commit()) << db.ErrorMessage();
    EXPECT_FALSE(tx.Commit());
  }
  EXPECT_EQ(RawConnection(dbFile_).Text("SELECT group_concat(Name) FROM items"), "replacement");

  EXPECT_TRUE(db.Commit());  // nothing open: harmless
  ASSERT_TRUE(db.BeginTransaction());
  EXPECT_FALSE(db.BeginTransaction());
  Transaction nested(db);
  EXPECT_FALSE(nested.Active());
  EXPECT_FALSE(nested.Commit());
  EXPECT_TRUE(db.InsertRecord("items", record));
  db.Close();  // an open transaction is rolled back, not committed
  EXPECT_EQ(Count(), "1");
}

TEST_F(SqlDatabaseTest, FailedCommitLeavesTheTransactionToBeRolledBack) {
  Database db;
  Open(db);
  db.SetBusyTimeoutMs(100);
  RawConnection reader(dbFile_);
  {
    Transaction tx(db);
    ASSERT_TRUE(db.SQLExecute("INSERT INTO items(Name) VALUES('pending')"));
    // A reader's shared lock keeps COMMIT from writing the file.
    ASSERT_TRUE(reader.Exec("BEGIN; SELECT count(*) FROM items;"));
    EXPECT_FALSE(tx.Commit());
    EXPECT_TRUE(tx.Active());
    ASSERT_TRUE(reader.Exec("COMMIT"));
  }
  EXPECT_EQ(Count(), "1");
}

TEST_F(SqlDatabaseTest, LockedDatabaseFailsAfterTheBusyTimeout) {
  Database db;
  db.SetBusyTimeoutMs(200);
  Open(db);
  RawConnection other(dbFile_);
  ASSERT_TRUE(other.Exec("BEGIN EXCLUSIVE"));
  for (const auto& write : std::vector<std::function<bool()>>{
           [&] { return db.SQLExecute("INSERT INTO items(Name) VALUES('late')"); },
           [&] { return db.BeginTransaction(); }}) {
    const auto start = Clock::now();
    EXPECT_FALSE(write());
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(150));  // waited rather than failing at once
    EXPECT_LT(waited, std::chrono::seconds(5));
  }
  ASSERT_TRUE(other.Exec("ROLLBACK"));
  EXPECT_TRUE(db.SQLExecute("INSERT INTO items(Name) VALUES('late')")) << db.ErrorMessage();
}

// --- closing ----------------------------------------------------------------------------------

TEST_F(SqlDatabaseTest, CloseIsRepeatableAndOutlivedRecordSetsEnd) {
  auto db = std::make_unique<Database>();
  Open(*db);
  auto kept = db->SQLSelect("SELECT * FROM items");
  ASSERT_NE(kept, nullptr);
  ASSERT_FALSE(kept->EOF());
  db->Close();
  db->Close();
  EXPECT_FALSE(db->IsConnected());
  EXPECT_EQ(db->Handle(), nullptr);
  EXPECT_EQ(db->SQLSelect("SELECT 1"), nullptr);
  EXPECT_FALSE(db->SQLExecute("SELECT 1"));
  EXPECT_TRUE(kept->EOF());
  EXPECT_TRUE(kept->ColumnText(0).empty());
  kept->MoveNext();
  EXPECT_FALSE(kept->LastError().empty());

  Open(*db);
  auto orphan = db->SQLSelect("SELECT * FROM items");
  db.reset();
  ASSERT_NE(orphan, nullptr);
  orphan->MoveNext();
  EXPECT_TRUE(orphan->EOF());
  orphan->Close();
  orphan->Close();
}

}  // namespace
}  // namespace platform
