#include "catalog_generator.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <string_view>

namespace bench {

namespace {

// Raised whenever the content changes, so that cached files of an older generator are remade.
constexpr int kGeneratorVersion = 1;

// A fixed-constant LCG: reproducible everywhere, unlike std::random_device or library engines
// whose distributions may differ between standard libraries.
class Lcg {
 public:
    explicit Lcg(uint64_t seed) : state_(seed * 2862933555777941757ULL + 3037000493ULL) {}
    uint32_t next() {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state_ >> 33);
    }
    uint32_t below(uint32_t n) { return next() % n; }

 private:
    uint64_t state_;
};

constexpr std::array<std::string_view, 40> kWords = {
    "lantern", "budget",  "holiday", "invoice", "report",  "summer", "garden",  "project", "draft",  "final",
    "scan",    "photo",   "family",  "backup",  "music",   "track",  "chapter", "notes",   "meeting", "contract",
    "river",   "mountain", "archive", "letter", "recipe",  "travel", "school",  "design",  "sketch", "model",
    "export",  "import",  "session", "render",  "clip",    "audio",  "video",   "manual",  "guide",  "data"};
constexpr std::array<std::string_view, 16> kExtensions = {"txt", "pdf", "jpg", "png", "mp3", "mov", "doc", "xls",
                                                          "zip", "html", "c",  "h",   "psd", "wav", "tif", "key"};
constexpr int kDisks = 10;

std::string diskName(int disk) {
    char text[16];
    std::snprintf(text, sizeof text, "Disk%02d", disk);
    return text;
}

std::string fileName(Lcg& random, int64_t id) {
    if (id % 2000 == 0) return kExactName;
    const uint32_t pick = random.below(1000);
    std::string name(pick == 0 ? kRareWord : pick < 6 ? kCommonWord : kWords[random.below(kWords.size())]);
    if (random.below(2) == 0) name.append("_").append(kWords[random.below(kWords.size())]);
    if (random.below(3) != 0) name.append("_").append(std::to_string(random.below(10000)));
    return name.append(".").append(kExtensions[random.below(kExtensions.size())]);
}

bool exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

bool fillCatalog(sqlite3* db, int64_t rows, uint64_t seed) {
    if (!exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN;"
                  "CREATE TABLE disks(disk INTEGER, dtype TEXT, dname TEXT, dlabel TEXT, dpath TEXT, dd TEXT,"
                  " dcomment TEXT);"
                  "CREATE TABLE paths(id INTEGER PRIMARY KEY, ppath TEXT, name TEXT, itype TEXT, disk INTEGER,"
                  " size REAL, dcr REAL, dmd REAL, vis TEXT, mt TEXT, mc TEXT, comment TEXT, parent INTEGER);"))
        return false;
    for (int disk = 1; disk <= kDisks; ++disk) {
        char* sql = sqlite3_mprintf("INSERT INTO disks VALUES(%d, '%s', %Q, 'Archive %d', '/Volumes/%q', "
                                    "'2023-%02d-14', '')", disk, disk % 3 == 0 ? "CD" : "HD",
                                    diskName(disk).c_str(), disk, diskName(disk).c_str(), disk);
        const bool ok = exec(db, sql);
        sqlite3_free(sql);
        if (!ok) return false;
    }
    sqlite3_stmt* insert = nullptr;
    if (sqlite3_prepare_v2(db, "INSERT INTO paths VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?)", -1, &insert, nullptr) != SQLITE_OK)
        return false;
    Lcg random(seed);
    int64_t lastFolder = 0;
    bool ok = true;
    for (int64_t id = 1; ok && id <= rows; ++id) {
        const int disk = 1 + static_cast<int>(random.below(kDisks));
        const bool folder = id % 2000 != 0 && random.below(10) == 0;
        std::string path = "/Volumes/" + diskName(disk) + "/";
        for (uint32_t depth = 1 + random.below(4); depth > 0; --depth) path.append(kWords[random.below(kWords.size())]).append("/");
        std::string name = folder ? std::string(kWords[random.below(kWords.size())]) : fileName(random, id);
        std::string type = folder ? "fold" : name.substr(name.rfind('.') + 1);
        const double created = 3.0e8 + random.below(400'000'000);
        const std::string comment = random.below(20) == 0 ? std::string(kWords[random.below(kWords.size())]) : "";
        sqlite3_bind_int64(insert, 1, id);
        sqlite3_bind_text(insert, 2, path.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(insert, 3, name.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(insert, 4, type.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int(insert, 5, disk);
        sqlite3_bind_double(insert, 6, folder ? 0.0 : static_cast<double>(random.next() % 2'000'000'000u));
        sqlite3_bind_double(insert, 7, created);
        sqlite3_bind_double(insert, 8, created + random.below(50'000'000));
        sqlite3_bind_text(insert, 9, random.below(50) == 0 ? "0" : "1", -1, SQLITE_STATIC);
        sqlite3_bind_text(insert, 10, folder ? "" : "TEXT", -1, SQLITE_STATIC);
        sqlite3_bind_text(insert, 11, folder ? "" : "qvnt", -1, SQLITE_STATIC);
        sqlite3_bind_text(insert, 12, comment.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(insert, 13, lastFolder);
        ok = sqlite3_step(insert) == SQLITE_DONE && sqlite3_reset(insert) == SQLITE_OK;
        if (folder) lastFolder = id;
    }
    sqlite3_finalize(insert);
    return ok && exec(db, ("PRAGMA user_version=" + std::to_string(kGeneratorVersion) + "; COMMIT;").c_str());
}

}  // namespace

std::vector<CatalogPlan> benchCatalogPlans() {
    std::vector<CatalogPlan> plans = {{"big-1m.vxo", 1'000'000, 1}, {"small-10k.vxo", 10'000, 2}};
    for (int i = 1; i <= 20; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "multi-%02d.vxo", i);
        plans.push_back({name, 50'000, 100u + static_cast<uint64_t>(i)});
    }
    return plans;
}

int64_t catalogRowCount(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    sqlite3* db = nullptr;
    int64_t rows = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        const char* sql = "SELECT (SELECT user_version FROM pragma_user_version), (SELECT COUNT(*) FROM paths)";
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW &&
            sqlite3_column_int(statement, 0) == kGeneratorVersion)
            rows = sqlite3_column_int64(statement, 1);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return rows;
}

std::string writeCatalog(const std::string& path, int64_t rows, uint64_t seed) {
    const std::string temporary = path + ".part";
    std::remove(temporary.c_str());
    sqlite3* db = nullptr;
    std::string error;
    if (sqlite3_open_v2(temporary.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK ||
        !fillCatalog(db, rows, seed))
        error = db ? sqlite3_errmsg(db) : "out of memory";
    if (sqlite3_close(db) != SQLITE_OK && error.empty()) error = "cannot close " + temporary;
    if (error.empty() && std::rename(temporary.c_str(), path.c_str()) != 0) error = "cannot rename " + temporary;
    if (!error.empty()) std::remove(temporary.c_str());
    return error;
}

bool makeBenchCatalogs(const std::string& folder) {
    bool ok = true;
    for (const CatalogPlan& plan : benchCatalogPlans()) {
        const std::string path = folder + "/" + plan.fileName;
        if (catalogRowCount(path) == plan.rows) continue;
        std::fprintf(stderr, "making %s (%lld rows)\n", path.c_str(), static_cast<long long>(plan.rows));
        const std::string error = writeCatalog(path, plan.rows, plan.seed);
        if (!error.empty()) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
            ok = false;
        }
    }
    return ok;
}

}  // namespace bench
