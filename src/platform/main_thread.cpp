#include "platform/main_thread.h"

#include <QCoreApplication>

namespace platform {

void postToMainThread(std::function<void()> work) {
    QCoreApplication* application = QCoreApplication::instance();
    if (!application) {
        work();
        return;
    }
    QMetaObject::invokeMethod(application, std::move(work), Qt::QueuedConnection);
}

}  // namespace platform
