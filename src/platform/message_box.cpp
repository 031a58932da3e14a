#include "platform/message_box.h"

#include <QCoreApplication>
#include <QThread>

#include <cstdio>
#include <mutex>

namespace platform {

namespace {

class StandardErrorPresenter final : public MessagePresenter {
 public:
    void showMessage(const std::string& text) override {
        std::fprintf(stderr, "quorvantel-server: %s\n", text.c_str());
        std::fflush(stderr);
    }
    void beep() override {}
};

// Guards the presenter pointer itself; presenters run on the main thread only.
std::mutex presenterMutex;
std::shared_ptr<MessagePresenter> currentPresenter = std::make_shared<StandardErrorPresenter>();

std::shared_ptr<MessagePresenter> presenter() {
    std::lock_guard lock(presenterMutex);
    return currentPresenter;
}

template <typename Action>
void onMainThread(Action action) {
    QCoreApplication* application = QCoreApplication::instance();
    if (application && QThread::currentThread() != application->thread())
        QMetaObject::invokeMethod(application, std::move(action), Qt::QueuedConnection);
    else
        action();
}

}  // namespace

void setMessagePresenter(std::unique_ptr<MessagePresenter> replacement) {
    std::lock_guard lock(presenterMutex);
    currentPresenter = std::move(replacement);
}

void MsgBox(std::string_view text) {
    onMainThread([text = std::string(text)] { presenter()->showMessage(text); });
}

void Beep() {
    onMainThread([] { presenter()->beep(); });
}

}  // namespace platform
