#pragma once
// A search server inside the test process: its own application folder, the application object,
// a listener on a free loopback port, a presenter that counts beeps and boxes, and clients that
// talk to it over real TCP. The worker can be held inside a step so that queue order, late
// answers and failures become observable without relying on timing.

#include "core/app.h"
#include "search/request_state.h"
#include "search/searchmaster.h"
#include "search/tcp_serverik.h"

#include <QTcpSocket>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qvsearch {

using namespace std::chrono_literals;

// Processes events (also deferred deletes) until the condition holds or about ten seconds pass.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s);

// Processes events for a short while: room for something that must not happen to show itself.
void settle();

// The request text: fields joined by the field separator.
std::string joinFields(std::initializer_list<std::string_view> fields);

// A search request with every field; detail "d", unused fields empty.
std::string searchRequest(std::string_view label, std::string_view condition,
                          std::string_view paths = "/a.vxo::/b.vxo", std::string_view view = "",
                          std::string_view spotlight = "", std::string_view command = "vaxo-search");

// What the presenter saw; shared, because the platform owns the presenter itself. Main thread.
struct Presented {
    int beeps = 0;
    std::vector<std::string> boxes;
};

// Holds worker threads inside a step until the test lets them pass, one permit per pass.
class Gate {
 public:
    void pass() {
        std::unique_lock lock(mutex_);
        ++waiting_;
        changed_.wait(lock, [this] { return open_ || permits_ > 0; });
        if (!open_) --permits_;
        --waiting_;
    }
    void release(int permits = 1) { update([&] { permits_ += permits; }); }
    // Also frees a worker that a failed assertion left waiting.
    void openForever() { update([&] { open_ = true; }); }
    int waiting() const {
        std::lock_guard lock(mutex_);
        return waiting_;
    }

 private:
    template <typename Change>
    void update(Change change) {
        std::lock_guard lock(mutex_);
        change();
        changed_.notify_all();
    }
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int permits_ = 0, waiting_ = 0;
    bool open_ = false;
};

// One client connection driven from the test thread; what arrives is collected in order.
class Client {
 public:
    explicit Client(quint16 port);
    bool connected() const { return socket_->state() == QAbstractSocket::ConnectedState; }
    void send(std::string_view bytes);  // one write, in the kernel when this returns
    // Everything received so far, after waiting until it holds at least `count` bytes.
    const std::string& receiveBytes(size_t count);
    // The same, waiting until the terminator has arrived.
    const std::string& receiveUntil(std::string_view terminator);
    const std::string& received();  // after one round of events, without waiting
    void disconnect();

 private:
    const std::string& collectUntil(const std::function<bool()>& done);
    std::unique_ptr<QTcpSocket> socket_;
    std::string received_;
};

class SearchServerTest : public ::testing::Test {
 protected:
    void SetUp() override;
    void TearDown() override;

    std::unique_ptr<Client> connectClient();

    // The messages of the log lines so far, in order, without their time stamps; a line
    // without a well-formed stamp is kept whole so that comparisons show it.
    std::vector<std::string> logMessages() const;
    bool waitForLogMessages(size_t count);
    size_t queuedRequests();
    bool workerRunning();

    // Steps whose database loop records the condition and its thread, then waits at the gate;
    // `then` runs after the gate, on the worker.
    SearchSteps gatedSteps(std::function<void(RequestState&)> then = {});
    std::vector<std::string> servedConditions() const;
    std::vector<std::thread::id> servingThreads() const;

    std::filesystem::path folder;
    std::unique_ptr<app> application;
    std::unique_ptr<TCPserverik> server;
    std::shared_ptr<Presented> presented;
    Gate gate;

 private:
    std::optional<std::string> oldFolderVariable_;
    mutable std::mutex servedMutex_;
    std::vector<std::pair<std::string, std::thread::id>> served_;
};

}  // namespace qvsearch
