#pragma once
// Module-level state of the server beside the application object: the status text, the
// listening socket, the running search worker and the folder named by the preferences database.
// Main thread, except: searchthread is guarded by App().queueMutex, and the Spotlight switch
// mirror is an atomic that the worker reads.

#include "platform/folder_item.h"
#include "platform/server_socket.h"
#include "platform/thread.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace gfs {

extern std::string servstatx;                          // "starting up", ..., "ready"
extern std::unique_ptr<platform::ServerSocket> serverisko;
extern std::unique_ptr<platform::Thread> searchthread;
extern std::optional<platform::FolderItem> PPdbTarget;

// The console's Spotlight switch as the search service sees it; the console keeps it current.
extern std::atomic<bool> spotlightSwitchMirror;

// Releases the module state in its order at the end of the program.
void releaseModuleState();

}  // namespace gfs
