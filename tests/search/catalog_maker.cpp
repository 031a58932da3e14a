#include "catalog_maker.h"

#include "search/immediate_answers.h"
#include "search/request_fields.h"
#include "search/search_answer.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <type_traits>

namespace qvcatalog {

namespace fs = std::filesystem;

namespace {

struct CloseDatabase {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using DatabasePtr = std::unique_ptr<sqlite3, CloseDatabase>;
using StatementPtr = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

[[noreturn]] void fail(sqlite3* db, std::string_view what) {
    throw std::runtime_error(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "no connection"));
}

void execute(sqlite3* db, std::string_view sql) {
    if (sqlite3_exec(db, std::string(sql).c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) fail(db, sql);
}

void bind(sqlite3* db, sqlite3_stmt* statement, int index, const Value& value) {
    const int rc = std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::nullptr_t>) return sqlite3_bind_null(statement, index);
            else if constexpr (std::is_same_v<T, int64_t>) return sqlite3_bind_int64(statement, index, v);
            else if constexpr (std::is_same_v<T, double>) return sqlite3_bind_double(statement, index, v);
            else return sqlite3_bind_text(statement, index, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        },
        value);
    if (rc != SQLITE_OK) fail(db, "bind");
}

// Columns without a declared type, so that every value keeps the storage class it was given.
void writeTable(sqlite3* db, const std::string& name, const Table& table) {
    std::string create = "CREATE TABLE " + name + "(";
    std::string insert = "INSERT INTO " + name + " VALUES(";
    for (size_t i = 0; i < table.columns.size(); ++i) {
        create += (i ? ", \"" : "\"") + table.columns[i] + "\"";
        insert += i ? ", ?" : "?";
    }
    execute(db, create + ")");
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, (insert + ")").c_str(), -1, &raw, nullptr) != SQLITE_OK) fail(db, insert);
    const StatementPtr statement(raw);
    for (const auto& row : table.rows) {
        for (size_t i = 0; i < row.size(); ++i) bind(db, raw, static_cast<int>(i + 1), row[i]);
        if (sqlite3_step(raw) != SQLITE_DONE) fail(db, "insert");
        sqlite3_reset(raw);
        sqlite3_clear_bindings(raw);
    }
}

DatabasePtr create(const fs::path& file) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    DatabasePtr db(raw);
    if (rc != SQLITE_OK) fail(raw, "open " + file.string());
    return db;
}

}  // namespace

Table disksTable(const std::vector<DiskRow>& rows) {
    Table table{{"disk", "dtype", "dname", "dlabel", "dpath", "dd"}, {}};
    for (const auto& r : rows) table.rows.push_back({r.disk, r.dtype, r.dname, r.dlabel, r.dpath, r.dd});
    return table;
}

Table pathsTable(const std::vector<PathRow>& rows) {
    Table table{{"ppath", "name", "itype", "disk", "size", "dcr", "dmd", "vis", "mt", "mc"}, {}};
    for (const auto& r : rows)
        table.rows.push_back({r.ppath, r.name, r.itype, r.disk, r.size, r.dcr, r.dmd, r.vis, r.mt, r.mc});
    return table;
}

Table manyPaths(int count, int64_t disk) {
    std::vector<PathRow> rows;
    rows.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        rows.push_back({"/p/", "f" + std::to_string(i), "0", disk, int64_t{i}, int64_t{1}, int64_t{2}, "1", "T", "C"});
    return pathsTable(rows);
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

std::string CatalogMaker::make(const std::string& fileName, const Table& disks, const Table& paths,
                               std::initializer_list<std::string_view> extraSql) {
    const fs::path file = folder_ / fileName;
    const DatabasePtr db = create(file);
    execute(db.get(), "BEGIN");
    writeTable(db.get(), "disks", disks);
    writeTable(db.get(), "paths", paths);
    for (std::string_view sql : extraSql) execute(db.get(), sql);
    execute(db.get(), "COMMIT");
    return file.string();
}

std::string CatalogMaker::makeLeftByCrashedWriter(const std::string& fileName, int rows) {
    const std::string file = make(fileName, disksTable({}), manyPaths(rows));
    const pid_t child = ::fork();
    if (child == 0) {
        // A one-page cache makes the update spill into the file before any commit.
        sqlite3* db = nullptr;
        const bool written = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
                             sqlite3_exec(db, "PRAGMA cache_size=1; BEGIN; UPDATE paths SET name='changed';", nullptr,
                                          nullptr, nullptr) == SQLITE_OK;
        ::_exit(written ? 0 : 1);
    }
    int status = -1;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("the crashing writer did not get to write");
    if (!fs::exists(file + "-journal")) throw std::runtime_error("no hot journal was left");
    return file;
}

std::string CatalogMaker::makeFile(const std::string& fileName, const std::string& bytes) {
    const fs::path file = folder_ / fileName;
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    return file.string();
}

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string requestText(std::string_view command, const std::vector<std::string>& paths, std::string_view condition) {
    std::string joined;
    for (size_t i = 0; i < paths.size(); ++i) joined.append(i ? "::" : "").append(paths[i]);
    std::string text;
    for (std::string_view field : {std::string_view(), command, std::string_view("d"), std::string_view("label"),
                                   std::string_view(), std::string_view(joined), condition})
        text.append(field).append(kFieldSeparator);
    return text.append(kFieldSeparator);  // the view and the Spotlight text stay empty
}

namespace {

constexpr std::string_view kAttributeNames[] = {"ppath", "name", "itype", "disk", "size",
                                                "dcr",   "dmd",  "vis",   "mt",   "mc"};

}  // namespace

// Values may hold line feeds, and the disk parts even raw quotes, so records are cut at the
// attribute names rather than at line ends; mc, cleaned in every record, ends each one.
std::vector<std::string> recordLines(const std::string& answer) {
    std::vector<std::string> lines;
    constexpr std::string_view kStart = "\t\t<record ppath=\"";
    for (size_t at = answer.find(kStart); at != std::string::npos; at = answer.find(kStart, at + 1)) {
        const size_t mc = answer.find("\" mc=\"", at);
        if (mc == std::string::npos) break;
        const size_t close = answer.find('"', mc + 6);
        const size_t end = answer.find('\n', close);
        if (close == std::string::npos || end == std::string::npos) break;
        lines.push_back(answer.substr(at, end + 1 - at));
    }
    return lines;
}

std::string attribute(const std::string& line, std::string_view name) {
    const auto position = std::find(std::begin(kAttributeNames), std::end(kAttributeNames), name);
    if (position == std::end(kAttributeNames)) return {};
    const std::string key = " " + std::string(name) + "=\"";
    const size_t start = line.find(key);
    if (start == std::string::npos) return {};
    const size_t from = start + key.size();
    const bool last = position + 1 == std::end(kAttributeNames);
    const size_t to = last ? line.find('"', from) : line.find("\" " + std::string(position[1]) + "=\"", from);
    return to == std::string::npos ? std::string() : line.substr(from, to - from);
}

std::string recordLine(std::initializer_list<std::string_view> values) {
    std::string line = "\t\t<record";
    size_t i = 0;
    for (std::string_view value : values) line.append(" ").append(kAttributeNames[i++]).append("=\"").append(value).append("\"");
    return line + "/>\n";
}

bool isComplete(const std::string& answer) {
    std::string tail;
    appendAnswerTail(tail);
    return answer.starts_with(kXmlDeclaration) && answer.ends_with(tail) && answer.find("<records>") != std::string::npos;
}

RequestState serveRequest(std::string_view command, const std::vector<std::string>& paths,
                          std::string_view condition, const SearchSteps& steps) {
    std::exception_ptr failure;
    RequestState state = serveSearchRequest(requestText(command, paths, condition), steps, failure);
    EXPECT_FALSE(failure) << "serving failed for condition " << condition.substr(0, 200);
    EXPECT_TRUE(isComplete(state.answer)) << state.answer.substr(0, 2000);
    return state;
}

}  // namespace qvcatalog
