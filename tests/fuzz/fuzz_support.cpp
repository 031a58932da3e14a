#include "fuzz_support.h"

#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace qvfuzz {

namespace {

constexpr std::string_view kTail = "\t</records>\n</result>\n";

// The disks hold no double quote: the answer carries disk values as they stand.
constexpr const char* kCatalogSql = R"SQL(
CREATE TABLE disks(dd, disk, dtype, dname, dlabel, dpath, dnote);
INSERT INTO disks VALUES ('3100000000', 1, 'hd', 'Disk One', 'ONE', '/Volumes/One', 'x'),
                         ('3200000000', 2, 'cd', 'Disk::/::Two', 'TWO', '/Volumes/Two', NULL),
                         (NULL, -7, 'net', 'Disk ::::\/''\/''::::Seven', '', '/', 3.5);
CREATE TABLE paths(name, extra, ppath, itype, disk, size, dcr, dmd, vis, mt, mc, note);
INSERT INTO paths VALUES
  ('readme.txt', 1, '/Volumes/One/', 'file', 1, 1200, 3000000000, 3000000100, 'true', 'TEXT', 'ttxt', 'a'),
  ('Photos', 2, '/Volumes/One/', 'folder', 1, 0, 3000000000, 3000000000, 'true', '', '', NULL),
  ('it''s "quoted"' || char(13), 3, '/Volumes/One/Photos/', 'file', 1, 12.5, -1, 1e300, 'false', 'JPEG', '8BIM', 'b'),
  ('.hidden', 4, '/Volumes/Two/', 'file', 2, '77', 'x', NULL, 'false', NULL, NULL, 'c'),
  ('multi' || char(10) || 'line', 5, '/Volumes/Two/', 'alias', '2', 2147483648, 0, 0, 'true', 'fdrp', 'MACS', 'd'),
  ('orphan', 6, '/', 'file', 99, -3.5, 2.5, -2.5, 'true', 'APPL', '????', 'e'),
  ('seven', 7, '/', 'file', -7, 9e18, 0, 0, 'true', '', '', 'f'),
  ('DROP TABLE paths', 8, '/Volumes/One/', 'file', 1, 1, 1, 1, 'true', '', '', 'g');
CREATE TABLE secrets(s);
INSERT INTO secrets VALUES ('never in an answer');
CREATE VIEW everything AS SELECT * FROM paths;
)SQL";

struct RemoveAtExit {
    std::vector<std::string> folders;
    ~RemoveAtExit() {
        std::error_code ignored;
        for (const auto& folder : folders) std::filesystem::remove_all(folder, ignored);
    }
};

bool consume(std::string_view& text, std::string_view expected, Shape& shape) {
    const size_t n = std::min(text.size(), expected.size());
    if (text.substr(0, n) != expected.substr(0, n)) {
        shape = Shape::Broken;
        return false;
    }
    if (n < expected.size()) {
        shape = Shape::Incomplete;
        return false;
    }
    text.remove_prefix(n);
    return true;
}

}  // namespace

std::string makeTempFolder() {
    static RemoveAtExit removal;
    std::string pattern = (std::filesystem::temp_directory_path() / "qv-fuzz-XXXXXX").string();
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    removal.folders.push_back(pattern);
    return pattern;
}

void writeCatalog(const std::string& path) {
    sqlite3* db = nullptr;
    FUZZ_CHECK(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK);
    char* error = nullptr;
    if (sqlite3_exec(db, kCatalogSql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "catalog: %s\n", error ? error : "?");
        __builtin_trap();
    }
    sqlite3_close(db);
}

uint64_t fileHash(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (auto it = std::istreambuf_iterator<char>(in); it != std::istreambuf_iterator<char>(); ++it)
        hash = (hash ^ static_cast<unsigned char>(*it)) * 1099511628211ull;
    return hash;
}

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> pieces;
    for (size_t at; (at = text.find(separator)) != std::string_view::npos; text.remove_prefix(at + separator.size()))
        pieces.push_back(text.substr(0, at));
    pieces.push_back(text);
    return pieces;
}

std::string expectedSearchHead(std::string_view request) {
    const auto fields = split(request, "]':'[");
    const std::string_view condition = fields.size() > 6 ? fields[6] : "";
    const std::string_view view = fields.size() > 7 ? fields[7] : "";
    const auto subFields = split(view, "%%__''''__%%");
    const std::string_view window = subFields.size() > 3 ? subFields[3] : "";
    std::string head(kDeclaration);
    head.append("<result>\n\t<description window=\"").append(window).append("\" tab=\"").append(view);
    head.append("\" sqlquery=\"").append(condition).append("\" />\n\t<records>\n");
    return head;
}

Shape recordsShape(std::string_view body, size_t& records) {
    static constexpr std::string_view kNames[] = {"ppath", "name", "itype", "disk", "size",
                                                  "dcr",   "dmd",  "vis",   "mt",   "mc"};
    Shape shape = Shape::Complete;
    for (records = 0; !body.starts_with(kTail.substr(0, std::min(body.size(), kTail.size()))); ++records) {
        if (!consume(body, "\t\t<record", shape)) return shape;
        for (std::string_view name : kNames) {
            if (!consume(body, " ", shape) || !consume(body, name, shape) || !consume(body, "=\"", shape)) return shape;
            const size_t quote = body.find('"');
            if (quote == std::string_view::npos) return Shape::Incomplete;
            body.remove_prefix(quote + 1);
        }
        if (!consume(body, "/>\n", shape)) return shape;
    }
    if (body.size() < kTail.size()) return Shape::Incomplete;
    return body == kTail ? Shape::Complete : Shape::Broken;
}

}  // namespace qvfuzz
