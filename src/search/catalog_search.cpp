#include "search/catalog_search.h"

#include "core/app.h"
#include "platform/folder_item.h"
#include "platform/numbers.h"
#include "platform/sql_database.h"
#include "platform/sql_guard.h"
#include "platform/text_rule.h"
#include "search/search_answer.h"
#include "search/sql_sanitizers.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>

using platform::text::equalsNoCase;

namespace {

using Clock = platform::SqlGuard::Clock;

std::atomic<int64_t> statementTimeLimitMs{kCatalogTimeLimit.count()};

// What SQLite may allocate beyond the largest value an answer can carry: page caches, sorting,
// the schema of a catalog.
constexpr int64_t kEngineHeapRoom = int64_t{64} << 20;

constexpr std::array<std::string_view, 10> kRowColumns = {"ppath", "name", "itype", "disk", "size",
                                                          "dcr",   "dmd",  "vis",   "mt",   "mc"};
constexpr size_t kDiskSlot = 3;
bool isNumberSlot(size_t slot) { return slot >= 4 && slot <= 6; }

struct OpenCatalog {
    platform::Database database;
    // Declared after the database, so that it lets go of the connection before the connection closes.
    std::optional<platform::SqlGuard> guard;
};

// No value larger than a whole answer could be served anyway.
int valueLimit() { return static_cast<int>(std::min<size_t>(answerBudget(), std::numeric_limits<int>::max())); }

// Opens a catalog read-only under the request's guard, which covers the first read of the file
// too; none for a path that is not absolute, not a regular file or no database.
std::unique_ptr<OpenCatalog> openCatalog(const std::string& path, Clock::time_point deadline) {
    if (path.empty() || path.front() != '/') return nullptr;
    const auto file = platform::GetFolderItem(path);
    if (!file) return nullptr;
    auto catalog = std::make_unique<OpenCatalog>();
    catalog->database.SetDatabaseFile(file->AbsolutePath());
    platform::SqlGuard& guard = catalog->guard.emplace(catalog->database, deadline, valueLimit());
    if (!catalog->database.Connect(platform::OpenMode::ReadOnly, [&guard] { guard.configure(); })) return nullptr;
    return catalog;
}

// A step that failed after the request's time ran out was stopped by it: the answer says so.
bool stoppedByTime(const OpenCatalog& catalog, RequestState& state) {
    if (!catalog.guard->expired()) return false;
    cutAnswer(state, AnswerCut::TimeLimit);
    return true;
}

// None once the request's time is up, as for a statement the engine rejects.
std::unique_ptr<platform::RecordSet> guardedSelect(OpenCatalog& catalog, std::initializer_list<std::string_view> tables,
                                                   std::string_view sql) {
    if (catalog.guard->expired()) return nullptr;
    catalog.guard->allowReading(tables);
    return catalog.database.SQLSelect(sql);
}

enum class DiskLoad {
    Whole,
    OverBudget,  // the dictionary holds the disks before the first that did not fit, in order
    OutOfTime,   // the dictionary is empty, as for a statement the engine rejected
};

// Makes the browse-disk records of the disks below a number, which leave the dictionary; false
// once the answer takes no more.
using DiskRecordMaker = std::function<bool(int64_t below)>;

// Loads the catalog's disks while they fit in what is left of the answer and while the request
// has time. What a disk costs is what it holds in memory, its entry's overhead included: a
// catalog of millions of empty disks must not take gigabytes before one record is made. A browse
// of the disk list (makeRecords) that fills what is left turns the disks below the one in hand
// into records, which no later row can change while the rows come in ascending order.
DiskLoad loadDisks(OpenCatalog& catalog, RequestState& state, const DiskRecordMaker& makeRecords = nullptr) {
    DiskDictionary& disks = state.diskDictionary;
    disks.clear();
    // Records may be made before the list is read whole only where the rows come in the order of
    // their 32-bit disk numbers: text, real or wider numbers sort otherwise, and a later row could
    // belong before a record already made.
    const auto disorder = makeRecords ? guardedSelect(catalog, {"disks"},
                                                      "SELECT 1 FROM disks WHERE typeof(disk) <> 'integer' OR disk "
                                                      "NOT BETWEEN -2147483648 AND 2147483647 LIMIT 1")
                                      : nullptr;
    const bool recordsEarly = disorder && disorder->EOF() && disorder->LastError().empty();
    const auto rows = guardedSelect(catalog, {"disks"}, "SELECT * FROM disks ORDER BY disk ASC");
    if (!rows) return stoppedByTime(catalog, state) ? DiskLoad::OutOfTime : DiskLoad::Whole;
    std::array<int, 6> column{};
    const std::array<std::string_view, 6> names = {"disk", "dtype", "dname", "dlabel", "dpath", "dd"};
    for (size_t i = 0; i < names.size(); ++i) column[i] = rows->ColumnIndex(names[i]);
    const auto text = [&rows](int index) { return index < 0 ? std::string_view() : rows->ColumnText(index); };
    size_t held = 0;
    bool interrupted = false;
    std::optional<int32_t> madeBelow;  // every disk below it has its record already
    for (; !rows->EOF(); rows->MoveNext()) {
        if ((interrupted = catalog.guard->expired())) break;
        const int32_t disk = column[0] < 0 ? 0 : static_cast<int32_t>(static_cast<uint32_t>(rows->ColumnInt64(column[0])));
        // A disk whose place in the list was already given cannot take it any more.
        if (madeBelow && disk < *madeBelow) return DiskLoad::OverBudget;
        std::array<size_t, 5> sizes{};
        size_t texts = 0;
        for (size_t i = 1; i < column.size(); ++i) texts += sizes[i - 1] = text(column[i]).size();
        const size_t needed = diskEntryMemory(sizes);
        const auto known = disks.find(disk);
        const size_t replaced = known == disks.end() ? 0 : known->second.memoryBytes();
        const auto fits = [&] {
            // A browse holds one disk beyond what is left while its texts still fit, so that it
            // lists every disk whose record fits, as the answer would without a disk list.
            const bool alone = disks.size() == (known == disks.end() ? 0 : 1);
            return fitsInAnswer(state, held - replaced + needed) || (makeRecords && alone && fitsInAnswer(state, texts));
        };
        if (!fits() && recordsEarly && !disks.empty() && disks.begin()->first < disk) {
            if (!makeRecords(disk)) return DiskLoad::OverBudget;
            madeBelow = disk;
            held = 0;  // what is left: this disk's entry, if it has one
            for (const auto& [number, entry] : disks) held += entry.memoryBytes();
        }
        if (!fits()) {
            // This row would have replaced the entry of its disk, which therefore goes too.
            disks.erase(disk);
            return DiskLoad::OverBudget;
        }
        DiskEntry entry = makeDiskEntry(diskInfoString(disk, text(column[1]), text(column[2]), text(column[3]),
                                                       text(column[4]), text(column[5])));
        held += entry.memoryBytes() - replaced;
        disks[disk] = std::move(entry);
    }
    if ((interrupted || !rows->LastError().empty()) && stoppedByTime(catalog, state)) {
        disks.clear();
        return DiskLoad::OutOfTime;
    }
    return DiskLoad::Whole;
}

// The running total is a 32-bit count of the matches; a count a condition has made absurd (a
// union can put any number first) neither overflows it nor lowers it.
int32_t addCount(int32_t total, int64_t count) {
    return static_cast<int32_t>(std::clamp<int64_t>(int64_t{total} + std::max<int64_t>(count, 0), 0,
                                                    std::numeric_limits<int32_t>::max()));
}

void appendOverLimitRecord(RequestState& state, int32_t limit) {
    const std::string name = "OVER LIMIT " + platform::Str(limit);
    appendRecordWithinBudget(state, {"", name, "", "", "", "", "", "", "", ""}, RecordEnd::Tight);
}

// Appends the database row record of the current row when it fits in the answer. Sized before
// anything is copied: a cleaned text can be eight times as long as the stored one.
bool appendRowRecord(RequestState& state, const platform::RecordSet& rows, const std::array<int, 10>& columnOf,
                     const std::string& databasePath) {
    std::array<std::string, 3> numbers;
    size_t size = recordFrameSize(RecordEnd::Tight);
    for (size_t slot = 0; slot < columnOf.size(); ++slot) {
        const int column = columnOf[slot];
        if (column < 0) continue;
        if (isNumberSlot(slot))
            size += (numbers[slot - 4] = platform::formatWhole(rows.ColumnDouble(column))).size();
        else
            size += cleanedSize(rows.ColumnText(column));
    }
    if (!takeRecord(state, size)) return false;
    std::string disk;
    if (columnOf[kDiskSlot] >= 0) appendCleanedValue(disk, rows.ColumnText(columnOf[kDiskSlot]));
    const auto entry = state.diskDictionary.find(platform::toInt32(platform::Val(disk)));
    const bool known = entry != state.diskDictionary.end();
    if (known && !takeRecord(state, size + rowSuffixSize(entry->second, databasePath))) return false;

    std::string& answer = state.answer;
    for (size_t slot = 0; slot < columnOf.size(); ++slot) {
        answer.append(kRecordPieces[slot]);
        const int column = columnOf[slot];
        if (slot == kDiskSlot) {
            answer.append(disk);
            if (known) appendRowSuffix(answer, entry->second, databasePath);
        } else if (isNumberSlot(slot)) {
            answer.append(numbers[slot - 4]);
        } else if (column >= 0) {
            appendCleanedValue(answer, rows.ColumnText(column));
        }
    }
    answer.append(kTightRecordEnd);
    return true;
}

// Count, limit gate, limited select and the row records of one catalog.
void searchCatalog(OpenCatalog& catalog, RequestState& state, const std::string& databasePath) {
    // A condition longer than any sound search is rejected as the engine would reject it.
    const bool sendable = state.condition.size() <= kMaxConditionBytes;
    const auto counted = sendable ? guardedSelect(catalog, {"paths", "disks"},
                                                  "SELECT COUNT(*) FROM paths WHERE " + gfs::anotherkiller(state.condition))
                                  : nullptr;
    if (sendable && (!counted || !counted->LastError().empty()) && stoppedByTime(catalog, state)) return;
    const int64_t count = counted && !counted->EOF() ? platform::toInt64(platform::Val(counted->ColumnText(0))) : 0;
    state.runningTotal = addCount(state.runningTotal, count);
    const int32_t totalLimit = App().PREFmaxresultstotal;
    if (state.runningTotal >= totalLimit) {
        appendOverLimitRecord(state, totalLimit);
        return;
    }
    // Sent also when the count was rejected: the limits below bound what it can give.
    if (!sendable) return;
    const int32_t databaseLimit = App().PREFmaxresultsdatabase;
    const std::string select = "SELECT * FROM paths WHERE " + gfs::anotherkiller(state.condition) + " LIMIT " +
                               platform::Str(databaseLimit);
    const auto rows = guardedSelect(catalog, {"paths", "disks"}, select);
    if (!rows) {
        stoppedByTime(catalog, state);
        return;
    }

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
    const size_t before = state.answer.size();
    const int32_t totalBefore = state.runningTotal;
    int64_t written = 0;
    // A condition can comment out the LIMIT that follows it; the limit is kept here as well.
    const bool capped = databaseLimit >= 0;
    // Rows beyond the count (a condition can make the count say less than the select gives)
    // raise the running total one by one, and stop at the total limit.
    for (; !rows->EOF() && (!capped || written < databaseLimit) && (written < count || state.runningTotal < totalLimit);
         rows->MoveNext()) {
        if (!appendRowRecord(state, *rows, columnOf, databasePath)) break;
        if (++written > count) state.runningTotal = addCount(state.runningTotal, 1);
    }
    if (!rows->LastError().empty()) {
        state.answer.resize(before);
        state.runningTotal = totalBefore;
        stoppedByTime(catalog, state);
        return;
    }
    state.resultCount = addCount(state.resultCount, written);
}

}  // namespace

std::chrono::milliseconds catalogStatementTimeLimit() { return std::chrono::milliseconds(statementTimeLimitMs.load()); }

void setCatalogStatementTimeLimit(std::chrono::milliseconds limit) { statementTimeLimitMs = limit.count(); }

RequestState::Clock::time_point requestDeadline(RequestState& state) {
    if (state.deadline == RequestState::Clock::time_point::max())
        state.deadline = RequestState::Clock::now() + catalogStatementTimeLimit();
    return state.deadline;
}

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
    const auto deadline = requestDeadline(state);
    platform::SqlGuard::limitEngineHeap(static_cast<int64_t>(answerBudget()) + kEngineHeapRoom);
    for (size_t i = 0; i < state.databasePaths.size(); ++i) {
        // With an answer that takes no more records, or past the deadline, the rest is not opened.
        if (state.answerCut != AnswerCut::None) break;
        if (Clock::now() >= deadline) {
            cutAnswer(state, AnswerCut::TimeLimit);
            break;
        }
        const std::string& path = state.databasePaths[i];
        const auto catalog = openCatalog(path, deadline);
        if (!catalog) {
            // Opening it (its schema, a lock) may have taken the rest of the time.
            if (Clock::now() >= deadline) cutAnswer(state, AnswerCut::TimeLimit);
            continue;
        }
        if (getdisks) {
            // Each disk leaves the dictionary as its record is made: it is not read again.
            auto& disks = state.diskDictionary;
            const auto makeRecords = [&](int64_t below) {
                auto disk = disks.begin();
                for (; disk != disks.end() && disk->first < below; disk = disks.erase(disk))
                    if (!appendBrowseDiskRecord(state, disk->second, path)) return false;
                return true;
            };
            const size_t before = state.answer.size();
            const DiskLoad disksLoaded = loadDisks(*catalog, state, makeRecords);
            // No disk of a statement that the deadline stopped is given, as for any statement.
            if (disksLoaded == DiskLoad::OutOfTime) {
                state.answer.resize(before);
                break;
            }
            makeRecords(int64_t{INT32_MAX} + 1);
            disks.clear();
            if (disksLoaded == DiskLoad::OverBudget) cutAnswer(state, AnswerCut::Budget);
            continue;
        }
        const DiskLoad disksLoaded = loadDisks(*catalog, state);
        if (disksLoaded == DiskLoad::OutOfTime) break;
        if (browse && !state.conditionRewritten) {
            state.condition = diskBrowseCondition(state.condition);
            state.conditionRewritten = true;
        }
        // Rows of a disk left out would lack its details: none is taken.
        if (disksLoaded == DiskLoad::OverBudget) cutAnswer(state, AnswerCut::Budget);
        if (state.answerCut != AnswerCut::None) break;
        searchCatalog(*catalog, state, path);
    }
    // Up to a budget's worth of disks: let go of them before the answer is sent.
    state.diskDictionary.clear();
}
