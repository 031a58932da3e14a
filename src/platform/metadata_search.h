#pragma once
// The file-name search: every file and folder whose name contains a
// text (literally, ignoring letter case), found with plocate on the system's file-name index or
// on the index named by QUORVANTEL_LOCATE_DB. Safe on any thread; one query runs one plocate.

#include "platform/folder_item.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// What a hit is, read from the file system once, with as few calls as the answer needs.
struct FileSnapshot {
    bool directory = false;         // follows a symbolic link
    bool alias = false;             // is a symbolic link
    int64_t length = 0;             // data length; 0 for a folder
    int32_t resourceForkLength = 0;
    int64_t creationTotalSeconds = 0;
    int64_t modificationTotalSeconds = 0;
    std::string macType;
    std::string macCreator;
};

// None when nothing is at the path any more.
std::optional<FileSnapshot> snapshotOf(const FolderItem& item);

// The plocate pattern for a literal, case-insensitive part of a name: a glob whose own
// wildcard characters are escaped.
std::string locatePatternFor(std::string_view text);

enum class MetadataQueryEnd {
    Complete,   // every hit was handed over (or plocate could not run)
    Stopped,    // onHit returned false
    OutOfTime,  // the deadline came first
};

// Runs the query and hands each hit that still exists to onHit as plocate reports it, until onHit
// returns false or the deadline passes, either of which ends the query: plocate is killed and
// reaped at once, whatever it is doing. Reading a hit's properties counts against the deadline.
// Without plocate, without an index or when plocate fails, nothing is found and the reason is
// written to standard error once per run of the server.
MetadataQueryEnd runMetadataQuery(
    std::string_view text, const std::function<bool(const FolderItem&, const FileSnapshot&)>& onHit,
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());

}  // namespace platform
