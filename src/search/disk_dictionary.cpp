#include "search/disk_dictionary.h"

#include "platform/numbers.h"
#include "platform/text_rule.h"
#include "search/search_answer.h"

std::string diskInfoString(int32_t disk, std::string_view dtype, std::string_view dname, std::string_view dlabel,
                           std::string_view dpath, std::string_view dd) {
    std::string info;
    for (std::string_view part : {dtype, dname, dlabel, dpath, dd}) info.append(part).append(kDiskInfoSeparator);
    return info.append(platform::Str(disk));
}

DiskEntry makeDiskEntry(std::string_view infoString) {
    // Joined and split again, so that a value holding the separator shifts the parts exactly as
    // clients have always seen it.
    const auto pieces = platform::text::splitViewsNoCase(infoString, kDiskInfoSeparator);
    DiskEntry entry;
    for (size_t i = 0; i < entry.parts.size() && i < pieces.size(); ++i) entry.parts[i] = pieces[i];
    return entry;
}

namespace {

// What the allocator adds to each block it hands out, at the least, on 64-bit glibc.
constexpr size_t kAllocationOverhead = 16;
// A tree node: colour, three links, then the key and the entry.
constexpr size_t kNodeBytes = 4 * sizeof(void*) + sizeof(DiskDictionary::value_type) + kAllocationOverhead;
const size_t kInlineTextBytes = std::string().capacity();

size_t textMemory(size_t capacity) { return capacity > kInlineTextBytes ? capacity + 1 + kAllocationOverhead : 0; }

}  // namespace

size_t DiskEntry::memoryBytes() const {
    size_t size = kNodeBytes;
    for (const std::string& part : parts) size += textMemory(part.capacity());
    return size;
}

size_t diskEntryMemory(const std::array<size_t, 5>& textSizes) {
    // The disk number's text is always held inside.
    size_t size = kNodeBytes;
    for (size_t text : textSizes) size += textMemory(text);
    return size;
}

namespace {

// dd, dtype, dpath, dlabel, dname: the order of the parts in a row's disk attribute.
constexpr size_t kRowSuffixParts[] = {4, 0, 3, 2, 1};

}  // namespace

size_t rowSuffixSize(const DiskEntry& disk, std::string_view databasePath) {
    size_t size = 6 * kDiskPartSeparator.size() + databasePath.size();
    for (size_t part : kRowSuffixParts) size += disk.parts[part].size();
    return size;
}

void appendRowSuffix(std::string& out, const DiskEntry& disk, std::string_view databasePath) {
    for (size_t part : kRowSuffixParts) out.append(kDiskPartSeparator).append(disk.parts[part]);
    out.append(kDiskPartSeparator).append(databasePath);
}

bool appendBrowseDiskRecord(RequestState& state, const DiskEntry& disk, std::string_view databasePath) {
    const auto& p = disk.parts;
    std::string diskValue = p[5];
    diskValue.append(kDiskPartSeparator).append(p[4]);
    for (int i = 0; i < 5; ++i) diskValue.append(kDiskPartSeparator);
    diskValue.append(databasePath);
    return appendRecordWithinBudget(state, {p[3], p[1], p[0], diskValue, p[2], " ", " ", "vaxo-disk", " ", " "},
                                    RecordEnd::Tight);
}
