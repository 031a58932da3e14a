#pragma once
// Keeps Qt's notes that only say the offscreen platform cannot do what a window asked of it
// (raise a window, pass on its size hints, grab the keyboard...) and that XDG_RUNTIME_DIR is not
// set out of standard error, so that a server without a display writes there only what it means
// to say. Every other Qt message goes on to the handler that was there before. Installed once,
// on the main thread, before the Qt application object; the filter then runs on any thread.

#include <QtGlobal>

class QString;

namespace platform {

// True for one of those notes: a warning with one of their exact texts.
bool isOffscreenPlatformNote(QtMsgType type, const QString& message);

// Without a display, leaves those notes out from now on; with one, changes nothing.
void leaveOutOffscreenPlatformNotes();

}  // namespace platform
