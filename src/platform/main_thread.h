#pragma once
// Hands work to the main thread's event loop. Safe on any thread; the work runs later, in the
// order it was posted, also when posted from the main thread itself, inside the guard of
// exception_guard.h. Without a Qt application object (some tests) the work runs at once.

#include <functional>

namespace platform {

void postToMainThread(std::function<void()> work);

}  // namespace platform
