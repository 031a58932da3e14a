#pragma once
// The registry of catalog databases: choosing a catalog file in the open dialog, registering a
// file for searching (never twice under one path) and unregistering one. The lists themselves
// are App().databases and App().defDatabases. Main thread only.

#include "platform/folder_item.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace gfs {

// The open dialog; the chosen catalog file when it exists and its folder is not locked, else none.
std::optional<platform::FolderItem> getDatabaseFile();

// Appends f to the searched databases unless it is missing or a database with the same path is
// registered; refresh rebuilds the console's list. Failures end in a message box, never further.
void addNewDatabase(const std::optional<platform::FolderItem>& f, bool refresh);

// Each of files in turn as addNewDatabase(file, false) would, against one index of the registered
// paths instead of a walk through the list per file, so that a folder scan stays linear.
void addNewDatabases(const std::vector<platform::FolderItem>& files);

// Unregisters entry index of App().databases and, with alsoDefault, its default entry.
void removeDatabase(int32_t index, bool alsoDefault);

}  // namespace gfs
