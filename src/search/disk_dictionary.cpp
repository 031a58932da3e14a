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

DiskEntry makeDiskEntry(std::string_view infoString, std::string_view databasePath) {
    // Joined and split again, so that a value holding the separator shifts the parts exactly as
    // clients have always seen it.
    const auto pieces = platform::text::splitViewsNoCase(infoString, kDiskInfoSeparator);
    DiskEntry entry;
    for (size_t i = 0; i < entry.parts.size() && i < pieces.size(); ++i) entry.parts[i] = pieces[i];
    const auto& p = entry.parts;
    for (const std::string* part : {&p[4], &p[0], &p[3], &p[2], &p[1]}) entry.rowSuffix.append(kDiskPartSeparator).append(*part);
    entry.rowSuffix.append(kDiskPartSeparator).append(databasePath);
    return entry;
}

void appendBrowseDiskRecord(std::string& answer, const DiskEntry& disk, std::string_view databasePath) {
    const auto& p = disk.parts;
    std::string diskValue = p[5];
    diskValue.append(kDiskPartSeparator).append(p[4]);
    for (int i = 0; i < 5; ++i) diskValue.append(kDiskPartSeparator);
    diskValue.append(databasePath);
    appendRecordLine(answer, {p[3], p[1], p[0], diskValue, p[2], " ", " ", "vaxo-disk", " ", " "}, RecordEnd::Tight);
}
