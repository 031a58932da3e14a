#include "search/catalog_search.h"

#include "core/app.h"
#include "platform/folder_item.h"
#include "platform/numbers.h"
#include "platform/sql_database.h"
#include "platform/sql_guard.h"
#include "platform/text_rule.h"
#include "search/search_answer.h"
#include "search/sql_sanitizers.h"

#include <array>
#include <atomic>
#include <cmath>

using platform::text::equalsNoCase;

namespace {

std::atomic<int64_t> statementTimeLimitMs{10'000};

constexpr std::array<std::string_view, 10> kRowColumns = {"ppath", "name", "itype", "disk", "size",
                                                          "dcr",   "dmd",  "vis",   "mt",   "mc"};
constexpr size_t kDiskSlot = 3;
bool isNumberSlot(size_t slot) { return slot >= 4 && slot <= 6; }

struct OpenCatalog {
    platform::Database database;
    std::optional<platform::SqlGuard> guard;
};

// Opens a catalog read-only; none for a path that is not absolute, not a regular file or no database.
std::unique_ptr<OpenCatalog> openCatalog(const std::string& path, std::chrono::steady_clock::time_point deadline) {
    if (path.empty() || path.front() != '/') return nullptr;
    const auto file = platform::GetFolderItem(path);
    if (!file) return nullptr;
    auto catalog = std::make_unique<OpenCatalog>();
    catalog->database.SetDatabaseFile(file->AbsolutePath());
    if (!catalog->database.Connect(platform::OpenMode::ReadOnly)) return nullptr;
    catalog->guard.emplace(catalog->database, deadline);
    return catalog;
}

std::unique_ptr<platform::RecordSet> guardedSelect(OpenCatalog& catalog, std::string_view table, std::string_view sql) {
    catalog.guard->allowReading({table});
    return catalog.database.SQLSelect(sql);
}

void loadDisks(OpenCatalog& catalog, const std::string& databasePath, DiskDictionary& disks) {
    disks.clear();
    const auto rows = guardedSelect(catalog, "disks", "SELECT * FROM disks ORDER BY disk ASC");
    if (!rows) return;
    std::array<int, 6> column{};
    const std::array<std::string_view, 6> names = {"disk", "dtype", "dname", "dlabel", "dpath", "dd"};
    for (size_t i = 0; i < names.size(); ++i) column[i] = rows->ColumnIndex(names[i]);
    const auto text = [&rows](int index) { return index < 0 ? std::string_view() : rows->ColumnText(index); };
    for (; !rows->EOF(); rows->MoveNext()) {
        const int32_t disk = column[0] < 0 ? 0 : static_cast<int32_t>(static_cast<uint32_t>(rows->ColumnInt64(column[0])));
        const std::string info = diskInfoString(disk, text(column[1]), text(column[2]), text(column[3]),
                                                text(column[4]), text(column[5]));
        disks[disk] = makeDiskEntry(info, databasePath);
    }
}

// The running total is a 32-bit count that wraps; a count a condition has made absurd (a union
// can put any number first) must not overflow on the way.
int32_t addWrapping(int32_t total, int64_t count) {
    return static_cast<int32_t>(static_cast<uint32_t>(total) + static_cast<uint32_t>(static_cast<uint64_t>(count)));
}

void appendOverLimitRecord(std::string& answer, int32_t limit) {
    const std::string name = "OVER LIMIT " + platform::Str(limit);
    appendRecordLine(answer, {"", name, "", "", "", "", "", "", "", ""}, RecordEnd::Tight);
}

// Count, limit gate, limited select and the row records of one catalog.
void searchCatalog(OpenCatalog& catalog, RequestState& state) {
    const auto counted = guardedSelect(catalog, "paths", "SELECT COUNT(*) FROM paths WHERE " + gfs::anotherkiller(state.condition));
    if (counted && !counted->EOF())
        state.runningTotal = addWrapping(state.runningTotal, platform::toInt64(platform::Val(counted->ColumnText(0))));
    const int32_t totalLimit = App().PREFmaxresultstotal;
    if (state.runningTotal >= totalLimit) {
        appendOverLimitRecord(state.answer, totalLimit);
        return;
    }
    // A sound condition that the engine rejects in the count is rejected in the select too; one
    // that only the count rejects has been shaped to slip rows past the running total.
    if (!counted) return;
    const int32_t databaseLimit = App().PREFmaxresultsdatabase;
    const std::string select = "SELECT * FROM paths WHERE " + gfs::anotherkiller(state.condition) + " LIMIT " +
                               platform::Str(databaseLimit);
    const auto rows = guardedSelect(catalog, "paths", select);
    if (!rows) return;

    // The later of two columns with the same name wins.
    std::array<int, 10> columnOf;
    columnOf.fill(-1);
    for (int i = 0; i < rows->FieldCount(); ++i) {
        const auto field = rows->IdxField(i + 1);
        const std::string name = field ? field->Name() : std::string();
        for (size_t slot = 0; slot < kRowColumns.size(); ++slot)
            if (equalsNoCase(name, kRowColumns[slot])) columnOf[slot] = i;
    }

    // The rows go to the answer only when the whole select succeeds: a statement stopped by its
    // time bound or by a damaged file counts as rejected.
    std::string records;
    int32_t written = 0;
    std::array<std::string, 10> values;
    // A condition can comment out the LIMIT that follows it; the limit is kept here as well.
    const bool capped = databaseLimit >= 0;
    for (; !rows->EOF() && (!capped || written < databaseLimit); rows->MoveNext()) {
        for (size_t slot = 0; slot < values.size(); ++slot) {
            std::string& value = values[slot];
            value.clear();
            const int column = columnOf[slot];
            if (column < 0) continue;
            if (isNumberSlot(slot))
                value = platform::formatWhole(rows->ColumnDouble(column));
            else
                appendCleanedValue(value, rows->ColumnText(column));
        }
        std::string& disk = values[kDiskSlot];
        const auto entry = state.diskDictionary.find(platform::toInt32(platform::Val(disk)));
        if (entry != state.diskDictionary.end()) disk.append(entry->second.rowSuffix);
        appendRecordLine(records, {values[0], values[1], values[2], values[3], values[4], values[5], values[6],
                                   values[7], values[8], values[9]},
                         RecordEnd::Tight);
        ++written;
    }
    if (!rows->LastError().empty()) return;
    state.answer.append(records);
    state.resultCount = addWrapping(state.resultCount, written);
}

}  // namespace

std::chrono::milliseconds catalogStatementTimeLimit() { return std::chrono::milliseconds(statementTimeLimitMs.load()); }

void setCatalogStatementTimeLimit(std::chrono::milliseconds limit) { statementTimeLimitMs = limit.count(); }

std::string diskBrowseCondition(std::string_view condition) {
    const auto pieces = platform::text::splitViewsNoCase(condition, kDiskBrowseSeparator);
    const std::string_view number = pieces.size() > 1 ? pieces[1] : std::string_view();
    std::string rewritten(pieces[0]);
    rewritten.append(" AND (disk=").append(platform::formatWhole(std::trunc(platform::Val(number)))).append(")");
    return rewritten;
}

void runDatabaseLoop(RequestState& state) {
    const bool browse = equalsNoCase(state.command, "vaxo-browse");
    const bool getdisks = browse && equalsNoCase(state.condition, kGetdisksMarker);
    const auto deadline = std::chrono::steady_clock::now() + catalogStatementTimeLimit();
    for (size_t i = 0; i < state.databasePaths.size(); ++i) {
        const std::string& path = state.databasePaths[i];
        const auto catalog = openCatalog(path, deadline);
        if (!catalog) continue;
        loadDisks(*catalog, path, state.diskDictionary);
        if (getdisks) {
            for (const auto& [number, disk] : state.diskDictionary) appendBrowseDiskRecord(state.answer, disk, path);
            continue;
        }
        if (browse && !state.conditionRewritten) {
            state.condition = diskBrowseCondition(state.condition);
            state.conditionRewritten = true;
        }
        searchCatalog(*catalog, state);
    }
}
