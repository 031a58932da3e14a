#pragma once
// SQLite files as tests make and read them, through connections of their own; any thread.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

// A connection that stays open for its scope, so that it can hold a lock. Each call runs SQL and
// gives the first column of its rows, NULL as "<null>"; an error fails the test.
class Sql {
 public:
    explicit Sql(const std::filesystem::path& file) { sqlite3_open(file.c_str(), &db_); }
    ~Sql() { sqlite3_close(db_); }
    Sql(const Sql&) = delete;
    Sql& operator=(const Sql&) = delete;

    std::vector<std::string> operator()(const std::string& sql) {
        std::vector<std::string> rows;
        const auto add = [](void* into, int, char** values, char**) {
            static_cast<std::vector<std::string>*>(into)->emplace_back(values[0] ? values[0] : "<null>");
            return 0;
        };
        if (sqlite3_exec(db_, sql.c_str(), add, &rows, nullptr) != SQLITE_OK)
            ADD_FAILURE() << sql.substr(0, 300) << ": " << sqlite3_errmsg(db_);
        return rows;
    }

 private:
    sqlite3* db_ = nullptr;
};

// The default databases of a preferences database, in row order: "rowid path", or the paths alone.
inline std::vector<std::string> storedDefaults(const std::filesystem::path& preferences, bool withRowids = true) {
    return Sql(preferences)(withRowids ? "SELECT rowid || ' ' || paths FROM DefDBs ORDER BY rowid"
                                       : "SELECT paths FROM DefDBs ORDER BY rowid");
}

// A preferences database with a font row; the default databases (none: no such table) get row ids
// from 7 up, so that a rewrite, which numbers from 1, shows. A target folder and its scan switch
// (-1: no such table) only where given. Paths go into the SQL as they are, so none holds a quote.
inline bool writePreferences(const std::filesystem::path& file,
                             const std::optional<std::vector<std::string>>& defaults, const char* target = nullptr,
                             int useTarget = -1) {
    std::string sql = "BEGIN; CREATE TABLE defFont(name TEXT); INSERT INTO defFont VALUES ('Geneva');";
    if (defaults) sql += "CREATE TABLE DefDBs(paths TEXT);";
    for (size_t i = 0; defaults && i < defaults->size(); ++i)
        sql += "INSERT INTO DefDBs(rowid, paths) VALUES (" + std::to_string(7 + i) + ", '" + (*defaults)[i] + "');";
    if (target) sql += "CREATE TABLE dbTarget(path TEXT); INSERT INTO dbTarget VALUES ('" + std::string(target) + "');";
    if (useTarget >= 0)
        sql += "CREATE TABLE useDefDBs(io INTEGER); INSERT INTO useDefDBs VALUES (" + std::to_string(useTarget) + ");";
    return Sql(file)(sql + "COMMIT; SELECT COUNT(*) FROM defFont;") == std::vector<std::string>{"1"};
}

// A catalog with one disk and `rows` rows, whose size is the row number; every `matchEvery`-th
// row is named "needle<i>", so that a search for needles scans every row.
inline bool makeNeedleCatalog(const std::filesystem::path& file, int rows, int matchEvery) {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    // One statement builds all rows, so that a catalog of some hundred thousand rows is quick.
    return Sql(file)("BEGIN; CREATE TABLE disks(disk, dtype, dname, dlabel, dpath, dd);"
                     "INSERT INTO disks VALUES (1, 'HD', 'Work', 'Label', '/Volumes/Work', '2020');"
                     "CREATE TABLE paths(ppath, name, itype, disk, size, dcr, dmd, vis, mt, mc);"
                     "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                     std::to_string(rows) + ") INSERT INTO paths SELECT '/Volumes/Work/folder' || (i / 100), " +
                     "CASE WHEN i % " + std::to_string(matchEvery) + " = 0 THEN 'needle' || i ELSE 'file' || i || " +
                     "'.dat' END, 'file', 1, i, 3000000000, 3000000001, 'true', 'TEXT', 'ttxt' FROM n; COMMIT;" +
                     "SELECT COUNT(*) FROM paths;") ==
           std::vector<std::string>{std::to_string(rows)};
}

}  // namespace test_support
