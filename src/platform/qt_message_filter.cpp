#include "platform/qt_message_filter.h"

#include "platform/display.h"

#include <QString>

#include <algorithm>
#include <atomic>
#include <iterator>

namespace platform {

namespace {

// What Qt's platform windows say when the platform lacks a window operation; offscreen there is
// no desktop that could carry any of them out.
constexpr const char* kLackedWindowOperations[] = {
    "This plugin does not support setParent!",
    "This plugin does not support raise()",
    "This plugin does not support lower()",
    "This plugin does not support propagateSizeHints()",
    "This plugin does not support setting window opacity",
    "This plugin does not support setting window masks",
    "This plugin does not support grabbing the keyboard",
    "This plugin does not support grabbing the mouse",
    "This plugin does not support QCursor::setPos(); emulating movement within the application.",
};
// Qt then takes a private folder of its own, which the server never uses.
constexpr char kNoRuntimeFolder[] = "QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '";

std::atomic<QtMessageHandler> previous{nullptr};

void filter(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (isOffscreenPlatformNote(type, message)) return;
    if (const QtMessageHandler next = previous.load()) next(type, context, message);
}

}  // namespace

bool isOffscreenPlatformNote(QtMsgType type, const QString& message) {
    if (type != QtWarningMsg) return false;
    if (message.startsWith(QLatin1String(kNoRuntimeFolder)) && message.endsWith(QLatin1Char('\'')) &&
        !message.contains(QLatin1Char('\n')))
        return true;
    return std::any_of(std::begin(kLackedWindowOperations), std::end(kLackedWindowOperations),
                       [&message](const char* text) { return message == QLatin1String(text); });
}

void leaveOutOffscreenPlatformNotes() {
    if (hasDisplay()) return;
    const QtMessageHandler before = qInstallMessageHandler(filter);
    // Installed twice, the filter would hand every message on to itself.
    if (before != filter) previous.store(before);
}

}  // namespace platform
