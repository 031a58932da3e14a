#pragma once
// The application's folder: where the settings file, the logs folder and the translations are
// found, and whose parent holds the preferences database. Safe on any thread.

#include "platform/folder_item.h"

namespace platform {

// The folder named by QUORVANTEL_APP_FOLDER when it is set and not empty, else the folder of
// the running executable.
FolderItem ApplicationFolder();

}  // namespace platform
