#pragma once
// Whether the server has a display. Without one (neither DISPLAY nor WAYLAND_DISPLAY, and no
// platform chosen in QT_QPA_PLATFORM) it runs on Qt's offscreen platform so that it still serves.

namespace platform {

// Call before the Qt application object is made.
void chooseOffscreenPlatformWithoutDisplay();

// True when windows and message boxes reach a person (not the offscreen or minimal platform).
bool hasDisplay();

}  // namespace platform
