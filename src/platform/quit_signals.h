#pragma once
// SIGTERM and SIGINT turned into an ordinary quit on the main thread, so that they run the same
// close steps as the Quit menu command. Install once, on the main thread, after the Qt
// application object exists.

#include <functional>

namespace platform {

void installQuitSignalHandlers(std::function<void()> quit);

}  // namespace platform
