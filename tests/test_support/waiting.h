#pragma once
// Bounded waits that keep the calling thread's events flowing, so that a server, a socket or a
// window in the test's own process goes on working while the test waits for it.

#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <thread>

namespace test_support {

// Processes events (deferred deletes too) until done() holds or the limit passes; done() then.
inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    for (const auto deadline = std::chrono::steady_clock::now() + limit;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Gives the events a while to do something that must not happen.
inline void settle(std::chrono::milliseconds period = std::chrono::milliseconds(300)) {
    waitFor([] { return false; }, period);
}

}  // namespace test_support
