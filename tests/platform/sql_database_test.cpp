// The SQL wrapper on real SQLite files, checked through an independent connection. The catalog
// search trusts it to open nothing but existing databases, to run exactly one statement of
// client text, and to hand back every value kind unchanged.

#include "platform/sql_database.h"
#include "platform/sql_guard.h"
#include "test_support/files.h"
#include "test_support/sqlite_files.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <iterator>
#include <random>

namespace platform {
namespace {

using test_support::Sql;
using Rows = std::vector<std::string>;

// The one result of a statement with text parameters: its number, "null", or "error" and the code.
std::string resultOf(sqlite3* connection, const char* sql, std::initializer_list<std::string_view> texts) {
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(connection, sql, -1, &statement, nullptr);
  int i = 0;
  for (std::string_view text : texts)
    sqlite3_bind_text(statement, ++i, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
  const int rc = sqlite3_step(statement);
  const std::string result = rc != SQLITE_ROW ? "error " + std::to_string(rc)
                             : sqlite3_column_type(statement, 0) == SQLITE_NULL
                                 ? "null"
                                 : std::to_string(sqlite3_column_int(statement, 0));
  sqlite3_finalize(statement);
  return result;
}

class SqlDatabase : public ::testing::Test {
 protected:
  void SetUp() override {
    Sql{file}("CREATE TABLE items(id INTEGER PRIMARY KEY, Name TEXT, big INTEGER, ratio REAL, note TEXT);"
              "INSERT INTO items VALUES(1, 'seed', 0, 0, NULL)");
    ASSERT_TRUE(connect(db));
  }
  bool connect(Database& to, OpenMode mode = OpenMode::ReadWrite, const char* name = "catalog.db") {
    to.SetDatabaseFile((dir.path() / name).string());
    return to.Connect(mode);
  }
  Rows count() { return Sql{file}("SELECT count(*) FROM items"); }

  test_support::TemporaryFolder dir{"qv-sql"};
  std::filesystem::path file = dir.path() / "catalog.db";
  Database db;
};

TEST_F(SqlDatabase, ConnectsOnlyToExistingDatabasesNeverCreatesAFileAndWritesOnlyWhenAllowed) {
  test_support::writeFile(dir.path() / "notes.txt", "not a database\n");
  for (const auto& [name, connects] : {std::pair{"catalog.db", true}, {"missing.db", false}, {"notes.txt", false},
                                       {"", false}}) {  // "": the folder
    for (OpenMode mode : {OpenMode::ReadWrite, OpenMode::ReadOnly}) {
      Database other;
      ASSERT_EQ(connect(other, mode, name), connects) << name;
      if (!connects) continue;
      EXPECT_NE(other.SQLSelect("SELECT * FROM items"), nullptr);
      EXPECT_EQ(other.SQLExecute("INSERT INTO items(Name) VALUES('x')"), mode == OpenMode::ReadWrite);
      EXPECT_EQ(other.InsertRecord("items", DatabaseRecord()), mode == OpenMode::ReadWrite);
    }
  }
  EXPECT_EQ(count(), Rows{"3"});
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);  // catalog.db, notes.txt
}

TEST_F(SqlDatabase, RunsExactlyOneStatement) {
  const struct { std::string sql; bool accepted; } cases[] = {
      {"SELECT 7 ;; \n\t", true}, {"SELECT 7; -- done", true}, {"SELECT 7 /* a */ ; /* unterminated", true},
      {"SELECT * FROM nowhere", false}, {"", false}, {"  -- only a comment", false}, {"SELECT 7; -- c\n x", false},
      {"SELECT abs(-9223372036854775808)", false},  // fails on its first step, not when prepared
      {"SELECT 7; /* c */ DROP TABLE items", false}, {std::string("SELECT 7\0; DROP TABLE items", 27), false},
      {std::string("SELECT 7;\0", 10), false},  // a NUL is no blank
  };
  for (const auto& c : cases) {
    const auto rs = db.SQLSelect(c.sql);
    EXPECT_EQ(rs != nullptr, c.accepted) << c.sql;
    EXPECT_EQ(db.ErrorMessage().empty(), c.accepted) << c.sql;
    EXPECT_EQ(rs ? rs->ColumnInt64(0) : 7, 7) << c.sql;
  }
  EXPECT_FALSE(db.SQLExecute("INSERT INTO items(Name) VALUES('a'); INSERT INTO items(Name) VALUES('b')"));
  EXPECT_FALSE(db.SQLExecute("DELETE FROM items; garbage"));
  EXPECT_EQ(count(), Rows{"1"});  // not even the first statement ran

  auto rs = db.SQLSelect("SELECT abs(x) FROM (SELECT 1 AS x UNION ALL SELECT -9223372036854775808)");
  ASSERT_NE(rs, nullptr) << db.ErrorMessage();
  rs->MoveNext();  // a failing step ends the set with its reason
  EXPECT_TRUE(rs->EOF());
  EXPECT_NE(rs->LastError().find("overflow"), std::string::npos) << rs->LastError();
}

TEST_F(SqlDatabase, RecordSetHandsBackEveryValueKind) {
  Sql{file}("DELETE FROM items;"
            "INSERT INTO items VALUES(1, 'O''Brien \"hi\" Zürich 東京', 4294967297, -0.125, '12abc');"
            "INSERT INTO items VALUES(2, NULL, -2147483649, NULL, NULL)");
  auto rs = db.SQLSelect("SELECT id, Name, big, ratio, note FROM items ORDER BY id");
  ASSERT_EQ(rs->FieldCount(), 5);
  EXPECT_EQ(rs->FieldByName("NAME")->Name(), "Name");
  EXPECT_EQ(rs->FieldByName("name")->StringValue(), "O'Brien \"hi\" Zürich 東京");
  EXPECT_EQ(rs->ColumnInt64(2), 4294967297);
  EXPECT_EQ(rs->IdxField(3)->IntegerValue(), 1);  // wraps on 32 bits
  EXPECT_EQ(rs->IdxField(4)->StringValue(), "-0.125");
  EXPECT_EQ(rs->IdxField(5)->IntegerValue(), 12);  // counted from 1
  rs->MoveNext();
  EXPECT_TRUE(rs->FieldByName("Name")->IsNull());
  EXPECT_EQ(rs->ColumnText(1), "");
  EXPECT_EQ(rs->IdxField(3)->IntegerValue(), 2147483647);
  rs->MoveNext();
  rs->MoveNext();  // past the end stays at the end
  EXPECT_TRUE(rs->EOF() && rs->LastError().empty() && !rs->IdxField(1));
  EXPECT_TRUE(db.SQLSelect("SELECT * FROM items WHERE id < 0")->EOF());

  rs = db.SQLSelect("SELECT 1 AS a, 2 AS A, 3 AS \"É\", CAST(X'610062' AS TEXT) AS nul");
  EXPECT_EQ(rs->FieldByName("a")->IntegerValue(), 1);  // the exact name wins over a folded one
  EXPECT_EQ(rs->FieldByName("A")->IntegerValue(), 2);
  EXPECT_EQ(rs->ColumnIndex("é"), -1);
  EXPECT_EQ(rs->FieldByName("NUL")->StringValue(), std::string("a\0b", 3));  // bytes, not up to a NUL
}

TEST_F(SqlDatabase, InsertRecordQuotesNamesAndBindsValues) {
  Sql{file}("CREATE TABLE \"odd \"\"t\"\"\"(\"it's\" TEXT, n INTEGER)");
  DatabaseRecord record;
  record.Column("it's", "O'Reilly'); DROP TABLE items; --");
  record.Column("n", "42");
  record.Column("n", "43");  // replaces, does not add a second "n"
  ASSERT_TRUE(db.InsertRecord("odd \"t\"", record)) << db.ErrorMessage();
  EXPECT_EQ(Sql{file}("SELECT \"it's\" || typeof(n) || n FROM \"odd \"\"t\"\"\""),
            Rows{"O'Reilly'); DROP TABLE items; --integer43"});
  DatabaseRecord hostile;
  hostile.Column("Name\") VALUES('x'); DROP TABLE items; --", "v");
  EXPECT_FALSE(db.InsertRecord("items", hostile));
  EXPECT_TRUE(db.InsertRecord("items", DatabaseRecord()));  // a row of defaults
  EXPECT_EQ(count(), Rows{"2"});
}

// Closing rolls an open transaction back, and ends the record sets that outlive the connection.
TEST_F(SqlDatabase, WritesLastOnlyWhenCommitted) {
  for (bool commit : {false, true}) {
    std::optional<Transaction> tx(db);
    ASSERT_TRUE(tx->Active()) << db.ErrorMessage();
    EXPECT_TRUE(db.SQLExecute("UPDATE items SET Name = 'changed'"));
    EXPECT_TRUE(!commit || (tx->Commit() && !tx->Commit())) << db.ErrorMessage();
    tx.reset();
    EXPECT_EQ(Sql{file}("SELECT Name FROM items"), Rows{commit ? "changed" : "seed"});
  }
  ASSERT_TRUE(db.BeginTransaction());
  Transaction nested(db);
  EXPECT_FALSE(nested.Active() || nested.Commit());
  EXPECT_TRUE(db.InsertRecord("items", DatabaseRecord()));
  auto kept = db.SQLSelect("SELECT * FROM items");
  db.Close();
  db.Close();
  EXPECT_EQ(count(), Rows{"1"});
  EXPECT_EQ(db.SQLSelect("SELECT 1"), nullptr);
  EXPECT_TRUE(kept->EOF() && kept->ColumnText(0).empty());
  kept->MoveNext();
  EXPECT_FALSE(kept->LastError().empty());
}

// The guard's own LIKE and GLOB stop at the deadline; until then they must answer exactly as the
// engine's own do, on texts and patterns built from the characters each rule treats specially.
TEST_F(SqlDatabase, GuardedPatternsAnswerAsTheEnginesOwnAndStopAtTheDeadline) {
  using namespace std::chrono_literals;
  sqlite3* plain = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &plain), SQLITE_OK);
  std::optional<SqlGuard> guard(std::in_place, db, SqlGuard::Clock::now() + 1h, 1 << 20);
  guard->configure();
  const auto results = [](sqlite3* connection, std::string_view pattern, std::string_view text, std::string_view escape) {
    return resultOf(connection, "SELECT like(?1, ?2)", {pattern, text}) + " " +
           resultOf(connection, "SELECT like(?1, ?2, ?3)", {pattern, text, escape}) + " " +
           resultOf(connection, "SELECT glob(?1, ?2)", {pattern, text});
  };
  const std::string pieces[] = {"a", "A", "b", "c", "%", "_", "*", "?", "[", "]", "^", "-", "\\", "\xc3\xa9", "\xc3\x89",
                                "\xff", "\x80", "\xc3", "\xed\xa0\x80", std::string(1, '\0'), "z"};
  const std::string escapes[] = {"\\", "%", "_", "a", "\xc3\xa9", "ab", "", "["};
  // Patterns also get whole sets and ranges (GLOB's; LIKE reads them as plain characters) and
  // escaped characters, which single pieces would almost never make.
  const std::string sets[] = {"[a-c]", "[^a-c]", "[ab]", "[^b]", "[b-\xc3\xa9]", "[]a]", "[%_]", "[A-a]", "[c-a]", "[a-"};
  const std::string escaped[] = {"%", "_", "a", "[", "\\"};
  std::mt19937 random(1234);
  const auto draw = [&](size_t most, std::string_view escape = {}) {
    std::string text;
    for (size_t n = random() % (most + 1); n > 0; --n) {
      const unsigned kind = escape.data() ? random() % 4 : 2;
      text += kind == 0 ? sets[random() % std::size(sets)]
              : kind == 1 ? std::string(escape) + escaped[random() % std::size(escaped)]
                          : pieces[random() % std::size(pieces)];
    }
    return text;
  };
  for (int i = 0; i < 16000; ++i) {
    const std::string escape = escapes[random() % std::size(escapes)];
    std::string pattern = draw(6, escape);
    // Every other one a search for a part of a name, which has a way of its own.
    if (i % 2) pattern = std::string(1, "%*"[i / 2 % 2]) + draw(3) + "%*"[i / 2 % 2];
    const std::string text = draw(8);
    ASSERT_EQ(results(db.Handle(), pattern, text, escape), results(plain, pattern, text, escape))
        << "pattern " << pattern << " text " << text << " escape " << escape;
  }
  // Sets whose hyphen, caret or bracket is a member rather than a range or a negation.
  for (const char* pattern : {"[-a]", "[]-a]", "[^-b]", "[a-]", "[z-a]", "[^]]"})
    for (const char* text : {"-", "a", "]", "^", "b", "\x01"})
      ASSERT_EQ(results(db.Handle(), pattern, text, ""), results(plain, pattern, text, "")) << pattern << " " << text;
  // Patterns at the engine's length limit and one byte over it.
  for (const std::string& longPattern : {std::string(50'000, '%'), std::string(50'001, '%'),
                                         std::string(49'999, '_') + "a", std::string(49'999, '?') + "a"})
    EXPECT_EQ(results(db.Handle(), longPattern, std::string(49'999, 'b') + "a", "\\"),
              results(plain, longPattern, std::string(49'999, 'b') + "a", "\\"));
  sqlite3_close(plain);

  // A comparison that would run for minutes stops once the deadline has passed.
  const std::string text(50'000'000, 'a'), run(997, 'a');
  for (const auto& [sql, pattern] : {std::pair{"SELECT like(?1, ?2)", "%" + run + "b"},
                                     {"SELECT like(?1, ?2)", "%" + run + "b%"},
                                     {"SELECT like(?1, ?2, 'x')", "%" + run + "b"},
                                     {"SELECT glob(?1, ?2)", "*" + run + "b*"}}) {
    guard.emplace(db, SqlGuard::Clock::now() + 100ms, 1 << 30);
    guard->configure();
    EXPECT_EQ(resultOf(db.Handle(), sql, {pattern, text}), "error " + std::to_string(SQLITE_INTERRUPT)) << sql;
    EXPECT_TRUE(guard->expired());
  }
}

}  // namespace
}  // namespace platform
