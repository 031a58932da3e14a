// The bounds of the search queue over real loopback TCP, with the worker held at a gate: a
// connection whose requests, or all requests, reach a bound is not read until the queue shrinks;
// what its client sent meanwhile is then read and answered like any other request, and the other
// connections are served as before. And an allocation failure while a request arrives ends in
// the out-of-memory message, with the request and the server still served.

#include "test_support/files.h"
#include "test_support/loop_client.h"
#include "test_support/protocol.h"
#include "test_support/recording_presenter.h"

#include "core/app.h"
#include "core/gfs_state.h"
#include "platform/exception_guard.h"
#include "search/searchmaster.h"
#include "search/tcp_serverik.h"

#include <gtest/gtest.h>

#include <semaphore>

namespace {

using namespace test_support;
using namespace std::chrono_literals;

const std::string kPing = fields({"", "vaxo-ping", "d", "l"});

std::string search(const std::string& condition, size_t padding = 0) {
    return fields({"", "vaxo-search", "d", "l", std::string(padding, 'p'), "/a.vxo", condition, "", ""});
}

size_t answersIn(const std::string& text) {
    size_t count = 0;
    for (size_t at = text.find("</result>\n"); at != std::string::npos; at = text.find("</result>\n", at + 1)) ++count;
    return count;
}

class QueueBoundsTest : public ::testing::Test {
 protected:
    void SetUp() override {
        gfs::servstatx = "ready";
        platform::setMessagePresenter(std::make_unique<RecordingPresenter>(shown));
        platform::setUnhandledExceptionHandler([](std::exception_ptr e) { return App().Event_UnhandledException(e); });
        SearchSteps steps;
        steps.databaseLoop = [this](RequestState& state) {
            ++waiting;
            permits.acquire();
            --waiting;
            if (state.condition == "no memory") throw std::bad_alloc();
        };
        searchmaster::setSearchSteps(steps);
        server->SetPort(0);
        server->Listen();
        ASSERT_TRUE(server->IsListening());
    }
    void TearDown() override {
        permits.release(1000);
        searchmaster::shutdown();
        searchmaster::setSearchSteps(SearchSteps{});
        searchmaster::setQueueBounds(QueueBounds{});
        settle(0ms);
        server.reset();
        settle(0ms);
        platform::setUnhandledExceptionHandler(nullptr);
        application.reset();
    }
    size_t queued() {
        std::lock_guard lock(App().queueMutex);
        return App().searchrequests.size();
    }
    std::unique_ptr<LoopClient> connect() { return std::make_unique<LoopClient>(server->Port()); }

    TemporaryFolder folder{"qv-queue"};
    ScopedEnv appFolder{"QUORVANTEL_APP_FOLDER", folder.path().c_str()};
    std::unique_ptr<app> application = std::make_unique<app>();
    std::shared_ptr<std::vector<std::string>> shown = std::make_shared<std::vector<std::string>>();
    std::unique_ptr<TCPserverik> server = std::make_unique<TCPserverik>();
    std::atomic<int> waiting{0};
    std::counting_semaphore<4096> permits{0};
};

// Each row: bounds, the searches sent one arrival at a time (connection, padding) while the worker
// serves the first, and how many of them are queued then: the others are not read.
TEST_F(QueueBoundsTest, AConnectionPastABoundIsReadAgainOnceTheQueueShrinks) {
    const struct {
        const char* name;
        QueueBounds bounds;
        std::vector<std::pair<int, size_t>> sends;
        size_t queuedWhileHeld;
        size_t connections;
    } cases[] = {
        {"a connection's count: the third is read, the fourth waits", {3, 1 << 20, 100, 1 << 20},
         {{0, 0}, {0, 0}, {0, 0}, {0, 0}, {1, 0}}, 4, 2},
        {"a connection's bytes: one request past them", {100, 1000, 100, 1 << 20}, {{0, 999}, {0, 0}, {1, 10}}, 2, 2},
        {"just under a connection's bytes", {100, 1200, 100, 1 << 20}, {{0, 900}, {0, 0}}, 2, 1},
        {"the total count: whoever reaches it waits", {100, 1 << 20, 3, 1 << 20},
         {{0, 0}, {1, 0}, {2, 0}, {2, 0}, {1, 0}, {0, 0}}, 5, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        searchmaster::setQueueBounds(c.bounds);
        std::vector<std::unique_ptr<LoopClient>> clients;
        for (size_t i = 0; i < c.connections; ++i) ASSERT_TRUE((clients.emplace_back(connect()))->connected());
        std::vector<size_t> sent(c.connections);
        for (const auto& [index, padding] : c.sends) {
            const size_t before = queued();
            clients[static_cast<size_t>(index)]->send(search(std::to_string(sent[static_cast<size_t>(index)]++), padding));
            waitFor([&] { return queued() > before; }, 300ms);  // held: not read, so never queued
        }
        EXPECT_EQ(queued(), c.queuedWhileHeld);
        EXPECT_TRUE(waitFor([&] { return waiting == 1; }));
        // Another connection is served as before.
        auto other = connect();
        other->send(kPing);
        EXPECT_EQ(answersIn(other->readUntil("</answer>\n")), 0u);
        EXPECT_NE(other->readUntil("</answer>\n").find("vaxo-pong"), std::string::npos);
        // Every request sent is answered once its turn comes, in order, on its own connection.
        permits.release(100);
        for (size_t i = 0; i < clients.size(); ++i) {
            EXPECT_TRUE(waitFor([&] { return answersIn(clients[i]->read(0)) == sent[i]; })) << "connection " << i;
            const std::string& answers = clients[i]->read(0);
            for (size_t n = 0; n + 1 < sent[i]; ++n)
                EXPECT_LT(answers.find("sqlquery=\"" + std::to_string(n) + "\""),
                          answers.find("sqlquery=\"" + std::to_string(n + 1) + "\""));
        }
        EXPECT_TRUE(waitFor([&] { return queued() == 0 && waiting == 0; }));
        while (permits.try_acquire()) {
        }
    }
}

// Memory runs out as an arrival is read, then as the worker serves a search: each time the
// operator is told, the request is still answered (the arrival read on the next turn, the search
// with what it had), and the server goes on.
TEST_F(QueueBoundsTest, AnAllocationFailureEndsInTheOutOfMemoryMessageAndServingGoesOn) {
    permits.release(100);
    auto client = connect();
    ASSERT_TRUE(client->connected());
    platform::TCPSocket::FailNextReceive();
    client->send(search("after"));
    EXPECT_EQ(answersIn(client->readUntil("</result>\n")), 1u);
    EXPECT_EQ(*shown, std::vector<std::string>{"Quorvantel requires more memory."});
    client->send(search("no memory"));
    EXPECT_TRUE(waitFor([&] { return answersIn(client->read(0)) == 2; }));
    EXPECT_TRUE(waitFor([&] { return shown->size() == 2; }));
    client->send(search("fine"));
    EXPECT_TRUE(waitFor([&] { return answersIn(client->read(0)) == 3; }));
    client->send(kPing);
    EXPECT_NE(client->readUntil("</answer>\n").find("vaxo-pong"), std::string::npos);
    EXPECT_EQ(*shown, std::vector<std::string>(2, "Quorvantel requires more memory."));
}

}  // namespace
