// The small services the server leans on from every thread: ticks for timeouts, the guard that
// keeps an escaped exception from ending the process, message boxes that must never block the
// worker, the system version word clients receive, and localised strings with their fallback.

#include "platform/exception_guard.h"
#include "platform/localized_string.h"
#include "platform/message_box.h"
#include "platform/system_version.h"
#include "platform/ticks.h"

#include <QCoreApplication>
#include <QThread>
#include <QTranslator>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

template <typename Condition>
bool waitUntil(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

TEST(Ticks, NonDecreasingAndAdvancing) {
    const int32_t start = platform::Ticks();
    int32_t previous = start;
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(2ms);
        const int32_t now = platform::Ticks();
        EXPECT_GE(platform::ticksBetween(previous, now), 0);
        previous = now;
    }
    std::this_thread::sleep_for(100ms);  // at least six sixtieths, so the count must have moved
    EXPECT_GT(platform::ticksBetween(start, platform::Ticks()), 0);
}

TEST(Ticks, DifferencesWrap) {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    const struct {
        int32_t start, end, expected;
    } cases[] = {{kMax, kMin, 1}, {kMax - 9, kMin + 10, 20}, {kMin, kMax, -1}, {-10, 10, 20}, {5, 3, -2}, {7, 7, 0}};
    for (const auto& c : cases) EXPECT_EQ(platform::ticksBetween(c.start, c.end), c.expected) << c.start << " " << c.end;
}

class ExceptionGuard : public ::testing::Test {
 protected:
    void TearDown() override { platform::setUnhandledExceptionHandler(nullptr); }
};

std::string describe(std::exception_ptr exception) {
    try {
        std::rethrow_exception(exception);
    } catch (const std::exception& e) {
        return e.what();
    } catch (int value) {
        return "int " + std::to_string(value);
    } catch (...) {
        return "unknown";
    }
}

TEST_F(ExceptionGuard, HandsTheExceptionToTheHandler) {
    std::vector<std::string> seen;
    platform::setUnhandledExceptionHandler([&](std::exception_ptr e) {
        seen.push_back(describe(e));
        return true;
    });
    bool after = false;
    platform::guarded([] { throw std::runtime_error("boom"); });
    platform::guarded([] { throw 42; });
    platform::guarded([&] { after = true; });
    EXPECT_EQ(seen, (std::vector<std::string>{"boom", "int 42"}));
    EXPECT_TRUE(after);

    std::thread worker([] { platform::guarded([] { throw std::logic_error("on the worker"); }); });
    worker.join();
    EXPECT_EQ(seen.back(), "on the worker");
}

TEST_F(ExceptionGuard, NothingEscapesWithoutAWorkingHandler) {
    platform::setUnhandledExceptionHandler([](std::exception_ptr) -> bool { throw std::runtime_error("handler"); });
    EXPECT_NO_THROW(platform::guarded([] { throw std::runtime_error("first"); }));
    platform::setUnhandledExceptionHandler([](std::exception_ptr) { return false; });
    EXPECT_NO_THROW(platform::guarded([] { throw std::runtime_error("unhandled"); }));
    platform::setUnhandledExceptionHandler(nullptr);
    EXPECT_NO_THROW(platform::guarded([] { throw 1; }));
}

// What the built-in presenter wrote, taken once before any test replaces it: the presenter
// cannot be put back, and test order is not fixed.
const std::string& defaultPresenterOutput() {
    static const std::string output = [] {
        ::testing::internal::CaptureStderr();
        platform::MsgBox("Catalog missing");
        platform::Beep();
        return ::testing::internal::GetCapturedStderr();
    }();
    return output;
}

struct Recorded {
    std::mutex mutex;
    std::vector<std::string> texts;
    std::vector<QThread*> threads;
    int beeps = 0;
};

class RecordingPresenter final : public platform::MessagePresenter {
 public:
    explicit RecordingPresenter(std::shared_ptr<Recorded> into) : into_(std::move(into)) {}
    void showMessage(const std::string& text) override {
        std::lock_guard lock(into_->mutex);
        into_->texts.push_back(text);
        into_->threads.push_back(QThread::currentThread());
    }
    void beep() override {
        std::lock_guard lock(into_->mutex);
        ++into_->beeps;
    }

 private:
    std::shared_ptr<Recorded> into_;
};

TEST(MessageBox, DefaultPresenterWritesToStandardError) {
    EXPECT_EQ(defaultPresenterOutput(), "quorvantel-server: Catalog missing\n");
}

TEST(MessageBox, WorkerMessagesReachTheMainThreadWithoutBlocking) {
    defaultPresenterOutput();
    auto recorded = std::make_shared<Recorded>();
    platform::setMessagePresenter(std::make_unique<RecordingPresenter>(recorded));
    platform::MsgBox("on main");
    platform::Beep();
    {
        std::lock_guard lock(recorded->mutex);
        EXPECT_EQ(recorded->texts, std::vector<std::string>{"on main"});
        EXPECT_EQ(recorded->beeps, 1);
    }

    // The worker must return from MsgBox while the main thread is not processing events.
    auto worker = std::async(std::launch::async, [] {
        platform::MsgBox("from worker");
        platform::Beep();
    });
    const bool returned = worker.wait_for(5s) == std::future_status::ready;
    EXPECT_TRUE(returned) << "MsgBox waited for the main thread";
    if (!returned) waitUntil([&] { return worker.wait_for(0s) == std::future_status::ready; });
    {
        std::lock_guard lock(recorded->mutex);
        EXPECT_EQ(recorded->texts.size(), 1u) << "shown on the worker thread";
    }
    EXPECT_TRUE(waitUntil([&] {
        std::lock_guard lock(recorded->mutex);
        return recorded->texts.size() == 2 && recorded->beeps == 2;
    }));
    std::lock_guard lock(recorded->mutex);
    ASSERT_EQ(recorded->texts.size(), 2u);
    EXPECT_EQ(recorded->texts[1], "from worker");
    EXPECT_EQ(recorded->threads[1], QCoreApplication::instance()->thread());
}

TEST(SystemVersion, EncodesAsBcdWord) {
    const struct {
        const char* text;
        std::optional<int32_t> word;
    } cases[] = {
        {"10.4.11", 0x104B}, {"10.2.8", 0x1028}, {"9.2.2", 0x922},  {"10.15.15", 0x10FF}, {"0.0.0", 0},
        {"none", std::nullopt},    {"10.16.1", std::nullopt}, {"10.4", std::nullopt},
        {"10.4.1x", std::nullopt}, {"", std::nullopt},        {"10.4.16", std::nullopt},
        {"100.1.1", std::nullopt}, {"-1.2.3", std::nullopt},  {"10..4", std::nullopt},
        {"10.4.11.", std::nullopt}, {" 10.4.11", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::encodeSystemVersion(c.text), c.word) << '"' << c.text << '"';
}

TEST(LocalizedString, DefaultsWithoutTranslation) {
    EXPECT_EQ(platform::GetLocalizedString("app.kFileQuit", "&Quit"), "&Quit");
    EXPECT_EQ(platform::GetLocalizedString("kFileQuit", "&Quit"), "&Quit");
    EXPECT_EQ(platform::GetLocalizedString("", "fallback"), "fallback");
    EXPECT_EQ(platform::GetLocalizedString("app.", "fallback"), "fallback");
}

// A translator in memory, so that the lookup is seen to reach Qt's translation machinery.
class OneWordTranslator : public QTranslator {
 public:
    QString translate(const char* context, const char* source, const char*, int) const override {
        if (QByteArray(context) == "app" && QByteArray(source) == "kFileQuit") return QStringLiteral("&Beenden");
        if (QByteArray(context) == "app" && QByteArray(source) == "kUmlaut") return QStringLiteral("Schlie\u00dfen");
        return {};
    }
    bool isEmpty() const override { return false; }
};

TEST(LocalizedString, UsesAnInstalledTranslation) {
    OneWordTranslator translator;
    ASSERT_TRUE(QCoreApplication::installTranslator(&translator));
    EXPECT_EQ(platform::GetLocalizedString("app.kFileQuit", "&Quit"), "&Beenden");
    EXPECT_EQ(platform::GetLocalizedString("app.kUmlaut", "Close"), "Schlie\xC3\x9F" "en");
    EXPECT_EQ(platform::GetLocalizedString("other.kFileQuit", "&Quit"), "&Quit");
    QCoreApplication::removeTranslator(&translator);
    EXPECT_EQ(platform::GetLocalizedString("app.kFileQuit", "&Quit"), "&Quit");
}

TEST(LocalizedString, NonAsciiKeyWithoutTranslationGivesTheDefault) {
    EXPECT_EQ(platform::GetLocalizedString("app.Schlie\xC3\x9F" "en", "Close"), "Close");
}

}  // namespace
