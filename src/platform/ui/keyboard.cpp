#include "platform/ui/keyboard.h"

#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QPointer>

#include <set>

namespace platform::ui::Keyboard {

namespace {

class KeyWatcher final : public QObject {
 public:
    explicit KeyWatcher(QObject* application) : QObject(application) {}

    bool down(int key) const { return held_.count(key) > 0; }

 protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::KeyPress:
                // A key reaches its window first and then the widgets, where one that ignores it
                // hands it on to its parents, maybe long after its release: only the window's
                // copy tells when it was pressed.
                if (watched->isWindowType()) held_.insert(static_cast<const QKeyEvent*>(event)->key());
                break;
            case QEvent::KeyRelease: {
                // The desktop repeats a held key as release and press pairs; the key stays down.
                const auto* release = static_cast<const QKeyEvent*>(event);
                if (watched->isWindowType() && !release->isAutoRepeat()) held_.erase(release->key());
                break;
            }
            case QEvent::ApplicationDeactivate:
                // Releases from now on go to another program.
            case QEvent::WindowBlocked:
                // A modal box opened: releases meant for the window under it are dropped.
                held_.clear();
                break;
            default:
                break;
        }
        return QObject::eventFilter(watched, event);
    }

 private:
    std::set<int> held_;
};

// Owned by the application object, so it goes with it.
QPointer<KeyWatcher> theWatcher;

}  // namespace

bool AsyncKeyDown(int key) { return theWatcher && theWatcher->down(key); }

void follow() {
    QCoreApplication* application = QCoreApplication::instance();
    if (theWatcher || !application) return;
    theWatcher = new KeyWatcher(application);
    application->installEventFilter(theWatcher);
}

}  // namespace platform::ui::Keyboard
