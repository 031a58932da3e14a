#include "core/app.h"

// The preferences database is read at start-up and written at quit by these entry points; the
// registry and the database itself come with the preferences work, so for now they touch nothing.

void app::checkPrefs() {}

bool app::readPrefs(const platform::FolderItem&) { return false; }

void app::nacitavamDefFolder(const std::optional<platform::FolderItem>&) {}

void app::writePrefs(const std::optional<platform::FolderItem>&, bool, bool) {}
