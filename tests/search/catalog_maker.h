#pragma once
// Real catalog files for the search tests, written with the SQLite C API into a temporary folder
// that goes away with the maker. Tables may have any column order and extra columns, so that the
// search is shown to map columns by name.

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

struct Table {
    std::vector<std::string> columns;
    std::vector<std::vector<Value>> rows;
};

struct DiskRow {
    int64_t disk = 0;
    std::string dtype, dname, dlabel, dpath, dd;
};

// The ten record columns; numbers stay numbers in the file.
struct PathRow {
    std::string ppath, name, itype;
    Value disk = int64_t{0};
    Value size = int64_t{0}, dcr = int64_t{0}, dmd = int64_t{0};
    std::string vis, mt, mc;
};

Table disksTable(const std::vector<DiskRow>& rows);
Table pathsTable(const std::vector<PathRow>& rows);
// `count` rows named "f0", "f1", ... on one disk, for the limit and time-bound cases.
Table manyPaths(int count, int64_t disk = 1);

class CatalogMaker {
 public:
    CatalogMaker();
    ~CatalogMaker();
    CatalogMaker(const CatalogMaker&) = delete;
    CatalogMaker& operator=(const CatalogMaker&) = delete;

    const std::filesystem::path& folder() const { return folder_; }

    // A catalog with both tables; `extraSql` runs afterwards (views, more tables). Returns its path.
    std::string make(const std::string& fileName, const Table& disks, const Table& paths,
                     std::initializer_list<std::string_view> extraSql = {});
    // A catalog of `rows` rows whose writer died inside a transaction: the file holds its
    // unfinished changes and a hot journal lies next to it, for whoever opens it to roll back.
    std::string makeLeftByCrashedWriter(const std::string& fileName, int rows);
    // A file with the given bytes (text, truncated or damaged catalogs).
    std::string makeFile(const std::string& fileName, const std::string& bytes);

 private:
    std::filesystem::path folder_;
};

std::string readBytes(const std::string& path);

// A request with every field: command, catalog paths (joined by "::") and condition.
std::string requestText(std::string_view command, const std::vector<std::string>& paths, std::string_view condition);

// The record lines of an answer, in order, each with its line end.
std::vector<std::string> recordLines(const std::string& answer);
// One attribute of a record line; empty when absent.
std::string attribute(const std::string& line, std::string_view name);
// A record line with the ten attributes in order, as catalog rows are written.
std::string recordLine(std::initializer_list<std::string_view> values);
// Begins with the head and ends with the tail, whatever came in between.
bool isComplete(const std::string& answer);

// Serves one request through the worker's own entry; a failure or an incomplete answer fails
// the calling test. App() must exist.
RequestState serveRequest(std::string_view command, const std::vector<std::string>& paths,
                          std::string_view condition, const SearchSteps& steps = {});
inline RequestState searchRequest(const std::vector<std::string>& paths, std::string_view condition) {
    return serveRequest("vaxo-search", paths, condition);
}

}  // namespace qvcatalog
