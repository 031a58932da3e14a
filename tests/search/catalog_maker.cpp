#include "catalog_maker.h"

#include "search/immediate_answers.h"
#include "search/request_fields.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace qvcatalog {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kAttributeNames[] = {"ppath", "name", "itype", "disk", "size",
                                                "dcr",   "dmd",  "vis",   "mt",   "mc"};

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

Table disksTable(std::vector<Row> rows) {
    return {{"disk", "dtype", "dname", "dlabel", "dpath", "dd"}, std::move(rows)};
}

Table pathsTable(std::vector<Row> rows) {
    return {{std::begin(kAttributeNames), std::end(kAttributeNames)}, std::move(rows)};
}

Row pathRow(const std::string& name, int64_t disk, int64_t size) {
    return {"/p/", name, "0", disk, size, int64_t{1}, int64_t{2}, "1", "T", "C"};
}

Table manyPaths(int count, int64_t disk) {
    std::vector<Row> rows;
    for (int i = 0; i < count; ++i) rows.push_back(pathRow("f" + std::to_string(i), disk, i));
    return pathsTable(std::move(rows));
}

CatalogMaker::CatalogMaker() {
    std::string pattern = (fs::temp_directory_path() / "qv-catalog-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
}

CatalogMaker::~CatalogMaker() {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

std::string CatalogMaker::make(const std::string& fileName, const Table& disks, const Table& paths) {
    const std::string file = (folder_ / fileName).string();
    const std::string sql = "BEGIN;" + tableSql("disks", disks) + tableSql("paths", paths) + "COMMIT;";
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    if (rc != SQLITE_OK) throw std::runtime_error("cannot make " + file);
    return file;
}

// Written straight into the schema table: made by CREATE VIEW, each would read the schema again.
std::string CatalogMaker::makeWithViews(const std::string& fileName, int views) {
    const std::string file = make(fileName, disksTable({}), pathsTable({}));
    const std::string sql =
        "PRAGMA writable_schema=ON; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < " +
        std::to_string(views) +
        ") INSERT INTO sqlite_master SELECT 'view', 'v'||i, 'v'||i, 0, 'CREATE VIEW v'||i||' AS SELECT a.name, "
        "upper(a.name) || lower(b.name) AS x FROM paths a JOIN paths b ON a.name = b.name ORDER BY 1' FROM n;";
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    if (rc != SQLITE_OK) throw std::runtime_error("cannot make " + file);
    return file;
}

// What a crash leaves is what a copy taken inside the writer's transaction holds.
std::string CatalogMaker::makeLeftByCrashedWriter(const std::string& fileName, int rows) {
    const std::string writer = make("writer-" + fileName, disksTable({}), manyPaths(rows));
    const std::string file = (folder_ / fileName).string();
    sqlite3* db = nullptr;
    sqlite3_open(writer.c_str(), &db);
    // A one-page cache makes the update spill into the file before any commit.
    sqlite3_exec(db, "PRAGMA cache_size=1; BEGIN; UPDATE paths SET name='changed';", nullptr, nullptr, nullptr);
    fs::copy_file(writer, file);
    fs::copy_file(writer + "-journal", file + "-journal");
    sqlite3_close(db);
    return file;
}

std::string CatalogMaker::makeFile(const std::string& fileName, const std::string& bytes) {
    const fs::path file = folder_ / fileName;
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    return file.string();
}

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Values may hold line feeds and the disk parts raw quotes, so records are cut at the attribute
// names rather than at line ends; mc, cleaned in every record, ends each one.
std::vector<std::string> recordLines(const std::string& answer) {
    std::vector<std::string> lines;
    constexpr std::string_view kStart = "\t\t<record ppath=\"";
    for (size_t at = answer.find(kStart); at != std::string::npos; at = answer.find(kStart, at + 1)) {
        const size_t end = answer.find('\n', answer.find('"', answer.find("\" mc=\"", at) + 6));
        if (end == std::string::npos) break;
        lines.push_back(answer.substr(at, end + 1 - at));
    }
    return lines;
}

std::string attribute(const std::string& line, std::string_view name) {
    const auto position = std::find(std::begin(kAttributeNames), std::end(kAttributeNames), name);
    const size_t start = line.find(" " + std::string(name) + "=\"");
    if (position == std::end(kAttributeNames) || start == std::string::npos) return {};
    const size_t from = start + name.size() + 3;
    const bool last = position + 1 == std::end(kAttributeNames);
    const size_t to = last ? line.find('"', from) : line.find("\" " + std::string(position[1]) + "=\"", from);
    return to == std::string::npos ? std::string() : line.substr(from, to - from);
}

std::vector<std::string> names(const RequestState& state) {
    std::vector<std::string> result;
    for (const auto& line : recordLines(state.answer)) result.push_back(attribute(line, "name"));
    return result;
}

std::string recordLine(std::initializer_list<std::string_view> values) {
    std::string line = "\t\t<record";
    size_t i = 0;
    for (std::string_view value : values)
        line.append(" ").append(kAttributeNames[i++]).append("=\"").append(value).append("\"");
    return line + "/>\n";
}

RequestState serveRequest(std::string_view command, const std::vector<std::string>& paths, std::string_view condition,
                          const SearchSteps& steps, std::string_view spotlightText) {
    std::string joined, request;
    for (const auto& path : paths) joined.append(&path == &paths.front() ? "" : "::").append(path);
    for (std::string_view field : {std::string_view(), command, std::string_view("d"), std::string_view("label"),
                                   std::string_view(), std::string_view(joined), condition, std::string_view()})
        request.append(field).append(kFieldSeparator);
    std::exception_ptr failure;
    RequestState state = serveSearchRequest(request.append(spotlightText), steps, failure);
    EXPECT_FALSE(failure) << "serving failed for condition " << condition.substr(0, 200);
    EXPECT_TRUE(state.answer.starts_with(kXmlDeclaration) && state.answer.ends_with("\t</records>\n</result>\n"))
        << state.answer.substr(0, 2000);
    return state;
}

}  // namespace qvcatalog
