#pragma once
// Real catalog files, written with SQLite into a temporary folder that goes away with the maker,
// and the request runner and answer readers that the catalog and Spotlight tests share.

#include "search/request_state.h"
#include "search/searchmaster.h"

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qvcatalog {

using Value = std::variant<std::nullptr_t, int64_t, double, std::string>;
using Row = std::vector<Value>;

struct Table {
    std::vector<std::string> columns;
    std::vector<Row> rows;
};

Table disksTable(std::vector<Row> rows);  // disk, dtype, dname, dlabel, dpath, dd
Table pathsTable(std::vector<Row> rows);  // the ten record columns in record order
Row pathRow(const std::string& name, int64_t disk = 1, int64_t size = 1);
Table manyPaths(int count, int64_t disk = 1);  // rows "f0", "f1", ...

class CatalogMaker {
 public:
    CatalogMaker();
    ~CatalogMaker();
    const std::filesystem::path& folder() const { return folder_; }
    // A catalog with both tables; returns its path.
    std::string make(const std::string& fileName, const Table& disks, const Table& paths);
    // A catalog whose schema also holds this many views, which take long to read.
    std::string makeWithViews(const std::string& fileName, int views);
    // A catalog whose writer died inside a transaction, leaving a hot journal next to it.
    std::string makeLeftByCrashedWriter(const std::string& fileName, int rows);
    std::string makeFile(const std::string& fileName, const std::string& bytes);

 private:
    std::filesystem::path folder_;
};

std::string readBytes(const std::string& path);

// The record lines of an answer, each with its line end; one attribute of such a line.
std::vector<std::string> recordLines(const std::string& answer);
std::string attribute(const std::string& line, std::string_view name);
std::vector<std::string> names(const RequestState& state);
// A catalog record line ("/>" right after the last quote) with the ten values in order.
std::string recordLine(std::initializer_list<std::string_view> values);

// Serves one request through the worker's own entry; a failure or an incomplete answer fails
// the calling test. App() must exist.
RequestState serveRequest(std::string_view command, const std::vector<std::string>& paths, std::string_view condition,
                          const SearchSteps& steps = {}, std::string_view spotlightText = "");
inline RequestState searchRequest(const std::vector<std::string>& paths, std::string_view condition) {
    return serveRequest("vaxo-search", paths, condition);
}

}  // namespace qvcatalog
