#include "platform/main_thread.h"

#include "platform/exception_guard.h"

#include <QCoreApplication>

namespace platform {

void postToMainThread(std::function<void()> work) {
    QCoreApplication* application = QCoreApplication::instance();
    if (!application) {
        work();
        return;
    }
    // Like every event handler, the work runs inside the guard.
    QMetaObject::invokeMethod(application, [work = std::move(work)] { guarded(work); }, Qt::QueuedConnection);
}

}  // namespace platform
