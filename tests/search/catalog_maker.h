#pragma once
// Real catalog files, written with SQLite into a temporary folder that goes away with the maker,
// and a request served through the worker's own entry. Main thread; App() must exist to serve.

#include "search/request_state.h"
#include "search/searchmaster.h"
#include "test_support/files.h"
#include "test_support/protocol.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qvcatalog {

using test_support::attribute;
using test_support::readFile;
using test_support::recordLine;
using test_support::recordLines;

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
    const std::filesystem::path& folder() const { return folder_.path(); }
    // A catalog with both tables; returns its path.
    std::string make(const std::string& fileName, const Table& disks, const Table& paths);
    // A catalog whose schema also holds this many views, which take long to read.
    std::string makeWithViews(const std::string& fileName, int views);
    // Five rows whose name, made by a generated column, is sixteen times the stored 1 001 bytes.
    std::string makeFat(const std::string& fileName);
    // A catalog whose writer died inside a transaction, leaving a hot journal next to it.
    std::string makeLeftByCrashedWriter(const std::string& fileName, int rows);
    std::string makeFile(const std::string& fileName, std::string_view bytes);

 private:
    test_support::TemporaryFolder folder_{"qv-catalog"};
};

std::vector<std::string> names(const RequestState& state);  // of the records in answer order

// Serves one request; a failure or an incomplete answer fails the calling test.
RequestState serveRequest(std::string_view command, const std::vector<std::string>& paths, std::string_view condition,
                          const SearchSteps& steps = {}, std::string_view spotlightText = "");
inline RequestState searchRequest(const std::vector<std::string>& paths, std::string_view condition) {
    return serveRequest("vaxo-search", paths, condition);
}

}  // namespace qvcatalog
