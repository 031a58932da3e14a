// The small services the server leans on from every thread: ticks for timeouts, the guard that
// keeps an escaped exception from ending the process, and message boxes that must never block
// the worker.

#include "platform/exception_guard.h"
#include "platform/message_box.h"
#include "platform/ticks.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(Ticks, AdvanceAndDifferencesWrap) {
    const int32_t start = platform::Ticks();
    std::this_thread::sleep_for(100ms);  // six sixtieths at least
    EXPECT_GT(platform::ticksBetween(start, platform::Ticks()), 0);
    EXPECT_EQ(platform::ticksBetween(INT32_MAX, INT32_MIN), 1);
    EXPECT_EQ(platform::ticksBetween(INT32_MIN, INT32_MAX), -1);
    EXPECT_EQ(platform::ticksBetween(5, 3), -2);
}

TEST(ExceptionGuard, HandsEveryEscapingExceptionToTheHandlerAndLetsNoneEscape) {
    int handled = 0;
    platform::setUnhandledExceptionHandler([&](std::exception_ptr e) { handled += e != nullptr; return true; });
    platform::guarded([] { throw std::runtime_error("boom"); });
    platform::guarded([] { throw 42; });
    std::thread([] { platform::guarded([] { throw std::logic_error("on the worker"); }); }).join();
    EXPECT_EQ(handled, 3);
    // guarded is noexcept: anything escaping now would end the test run.
    platform::setUnhandledExceptionHandler([](std::exception_ptr) -> bool { throw std::runtime_error("handler"); });
    platform::guarded([] { throw 1; });
    platform::setUnhandledExceptionHandler(nullptr);
    platform::guarded([] { throw 1; });
}

struct Recorder final : platform::MessagePresenter {
    void showMessage(const std::string& text) override { record(text); }
    void beep() override { record("beep"); }
    void record(const std::string& what) {
        seen.push_back(QThread::currentThread() == QCoreApplication::instance()->thread() ? what : what + " elsewhere");
    }
    std::vector<std::string> seen;
};

TEST(MessageBox, WorkerMessagesReachTheMainThreadWithoutWaiting) {
    ::testing::internal::CaptureStderr();
    platform::MsgBox("Catalog missing");
    platform::Beep();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "quorvantel-server: Catalog missing\n");

    auto recorder = std::make_unique<Recorder>();
    const auto& seen = recorder->seen;  // installed for good, so alive for good
    platform::setMessagePresenter(std::move(recorder));
    platform::MsgBox("on main");
    auto worker = std::async(std::launch::async, [] {
        platform::MsgBox("from worker");
        platform::Beep();
    });
    EXPECT_EQ(worker.wait_for(5s), std::future_status::ready) << "MsgBox waited for the main thread";
    EXPECT_EQ(seen, std::vector<std::string>{"on main"});
    for (int i = 0; i < 100 && seen.size() < 3; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(seen, (std::vector<std::string>{"on main", "from worker", "beep"}));
}

}  // namespace
