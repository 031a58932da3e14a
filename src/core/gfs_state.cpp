#include "core/gfs_state.h"

namespace gfs {

std::string servstatx;
std::unique_ptr<platform::ServerSocket> serverisko;
std::unique_ptr<platform::Thread> searchthread;
std::optional<platform::FolderItem> PPdbTarget;
std::atomic<bool> spotlightSwitchMirror{false};

void releaseModuleState() {
    PPdbTarget.reset();
    serverisko.reset();
    servstatx.clear();
    searchthread.reset();
}

}  // namespace gfs
