#include "catalog_maker.h"

#include "test_support/sqlite_files.h"

#include <gtest/gtest.h>

#include <iterator>

namespace qvcatalog {

namespace fs = std::filesystem;

namespace {

std::string literal(const Value& value) {
    if (const auto* n = std::get_if<int64_t>(&value)) return std::to_string(*n);
    if (const auto* d = std::get_if<double>(&value)) return std::to_string(*d);
    if (!std::holds_alternative<std::string>(value)) return "NULL";
    std::string quoted = "'";
    for (char c : std::get<std::string>(value)) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return quoted + "'";
}

// Columns without a declared type, so that every value keeps the storage class it was given.
std::string tableSql(const std::string& name, const Table& table) {
    std::string sql = "CREATE TABLE " + name + "(";
    for (const auto& column : table.columns) sql += (&column == &table.columns[0] ? "\"" : ", \"") + column + "\"";
    sql += ");";
    for (const Row& row : table.rows) {
        sql += "INSERT INTO " + name + " VALUES(";
        for (size_t i = 0; i < row.size(); ++i) sql += (i ? ", " : "") + literal(row[i]);
        sql += ");";
    }
    return sql;
}

}  // namespace

Table disksTable(std::vector<Row> rows) { return {{"disk", "dtype", "dname", "dlabel", "dpath", "dd"}, std::move(rows)}; }

Table pathsTable(std::vector<Row> rows) {
    return {{std::begin(test_support::kRecordAttributes), std::end(test_support::kRecordAttributes)}, std::move(rows)};
}

Row pathRow(const std::string& name, int64_t disk, int64_t size) {
    return {"/p/", name, "0", disk, size, int64_t{1}, int64_t{2}, "1", "T", "C"};
}

Table manyPaths(int count, int64_t disk) {
    std::vector<Row> rows;
    for (int i = 0; i < count; ++i) rows.push_back(pathRow("f" + std::to_string(i), disk, i));
    return pathsTable(std::move(rows));
}

std::string CatalogMaker::make(const std::string& fileName, const Table& disks, const Table& paths) {
    const fs::path file = folder() / fileName;
    test_support::Sql{file}("BEGIN;" + tableSql("disks", disks) + tableSql("paths", paths) + "COMMIT;");
    return file.string();
}

// Written straight into the schema table: made by CREATE VIEW, each would read the schema again.
std::string CatalogMaker::makeWithViews(const std::string& fileName, int views) {
    const std::string file = make(fileName, disksTable({}), pathsTable({}));
    test_support::Sql{file}(
        "PRAGMA writable_schema=ON; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < " +
        std::to_string(views) +
        ") INSERT INTO sqlite_master SELECT 'view', 'v'||i, 'v'||i, 0, 'CREATE VIEW v'||i||' AS SELECT a.name, "
        "upper(a.name) || lower(b.name) AS x FROM paths a JOIN paths b ON a.name = b.name ORDER BY 1' FROM n;");
    return file;
}

std::string CatalogMaker::makeFat(const std::string& fileName) {
    const std::string file = make(fileName, disksTable({}), pathsTable({}));
    test_support::Sql{file}(
        "DROP TABLE paths; CREATE TABLE paths(ppath, short, itype, disk, size, dcr, dmd, vis, mt, mc,"
        " name AS (hex(hex(hex(hex(short))))));"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < 5)"
        " INSERT INTO paths(short) SELECT printf('x%.*c', 1000, 'x') FROM n;");
    return file;
}

// What a crash leaves is what a copy taken inside the writer's transaction holds.
std::string CatalogMaker::makeLeftByCrashedWriter(const std::string& fileName, int rows) {
    const std::string writer = make("writer-" + fileName, disksTable({}), manyPaths(rows)), file = folder() / fileName;
    test_support::Sql open(writer);
    // A one-page cache makes the update spill into the file before any commit.
    open("PRAGMA cache_size=1; BEGIN; UPDATE paths SET name='changed';");
    fs::copy_file(writer, file);
    fs::copy_file(writer + "-journal", file + "-journal");
    return file;
}

std::string CatalogMaker::makeFile(const std::string& fileName, std::string_view bytes) {
    test_support::writeFile(folder() / fileName, bytes);
    return (folder() / fileName).string();
}

std::vector<std::string> names(const RequestState& state) {
    std::vector<std::string> result;
    for (const auto& line : recordLines(state.answer)) result.push_back(attribute(line, "name"));
    return result;
}

RequestState serveRequest(std::string_view command, const std::vector<std::string>& paths, std::string_view condition,
                          const SearchSteps& steps, std::string_view spotlightText) {
    std::exception_ptr failure;
    RequestState state = serveSearchRequest(
        test_support::request(command, paths, condition, "", "tester", spotlightText), steps, failure);
    EXPECT_FALSE(failure) << "serving failed for condition " << condition.substr(0, 200);
    EXPECT_TRUE(test_support::isCompleteSearchAnswer(state.answer)) << state.answer.substr(0, 2000);
    return state;
}

}  // namespace qvcatalog
