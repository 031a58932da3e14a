#pragma once
// SIGTERM and SIGINT turned into an ordinary quit on the main thread, so that they run the same
// close steps as the Quit menu command. Install once, on the main thread, after the Qt
// application object exists. SIGPIPE is kept from ending the process.

#include <functional>

namespace platform {

void installQuitSignalHandlers(std::function<void()> quit);

// A write to a closed pipe or socket (standard output read by `head -1`) then fails with EPIPE
// instead of ending the server. Call first thing, before anything is written.
void ignoreBrokenPipes();

}  // namespace platform
