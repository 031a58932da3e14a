#pragma once
// The disks of the catalog being read, by disk number, as the records of that catalog show
// them: the parts of the disk info string, split once per disk, not once per row.
// Owned by the worker thread.

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

struct RequestState;

// Four colons, backslash, slash, apostrophe, backslash, slash, apostrophe, four colons.
inline constexpr std::string_view kDiskInfoSeparator = "::::\\/'\\/'::::";
inline constexpr std::string_view kDiskPartSeparator = "::/::";

struct DiskEntry {
    // dtype, dname, dlabel, dpath, dd and the disk number, as the joined info string splits again.
    std::array<std::string, 6> parts;
    // What the entry takes in a DiskDictionary: its node, and the texts too long to be held inside.
    size_t memoryBytes() const;
};

using DiskDictionary = std::map<int32_t, DiskEntry>;

// What an entry of texts of these sizes (dtype, dname, dlabel, dpath, dd) takes, before it is made.
size_t diskEntryMemory(const std::array<size_t, 5>& textSizes);

std::string diskInfoString(int32_t disk, std::string_view dtype, std::string_view dname, std::string_view dlabel,
                           std::string_view dpath, std::string_view dd);

DiskEntry makeDiskEntry(std::string_view infoString);

// What follows a row's own disk text in its disk attribute: dd, dtype, dpath, dlabel, dname and
// the database path, each after "::/::".
size_t rowSuffixSize(const DiskEntry& disk, std::string_view databasePath);
void appendRowSuffix(std::string& out, const DiskEntry& disk, std::string_view databasePath);

// A browse-disk record line for one disk of the catalog at databasePath, when it fits in the answer.
bool appendBrowseDiskRecord(RequestState& state, const DiskEntry& disk, std::string_view databasePath);
