// The bounds of the search queue over real loopback TCP, with the worker held at a gate: a
// connection whose requests, or all requests, reach a bound hands nothing on until the queue
// shrinks; what its client sent meanwhile is then handed on arrival by arrival and answered like
// any other request, and the other connections are served as before. An answer on its way to its
// connection counts as unsent. And an allocation failure while a request arrives, is queued or
// is taken ends in the out-of-memory message, with the server, and the connection's end, going on.

#include "served_in_process.h"
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

#include <optional>
#include <semaphore>
#include <thread>

namespace {

using namespace test_support;
using namespace std::chrono_literals;

const std::string kPing = fields({"", "vaxo-ping", "d", "l"});
constexpr size_t kSendPing = SIZE_MAX;  // in a row's sends: a ping instead of a search
constexpr size_t kBigAnswer = size_t{4} << 20;

std::string search(const std::string& condition, size_t padding = 0) {
    return fields({"", "vaxo-search", "d", "l", std::string(padding, 'p'), "/a.vxo", condition, "", ""});
}

size_t countOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}
size_t answersIn(const std::string& text) { return countOf(text, "</result>\n"); }

class QueueBoundsTest : public ServedInProcess {
 protected:
    void SetUp() override {
        SearchSteps steps;
        steps.databaseLoop = [this](RequestState& state) {
            ++waiting;
            permits.acquire();
            --waiting;
            if (state.condition == "no memory") throw std::bad_alloc();
            if (state.condition == "big") state.answer.append(kBigAnswer, 'x');
        };
        searchmaster::setSearchSteps(steps);
        ServedInProcess::SetUp();
    }
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
        {"a connection's count, three more while held: each its own request", {2, 1 << 20, 100, 1 << 20},
         {{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}}, 2, 1},
        {"pings among held searches wait their turn", {2, 1 << 20, 100, 1 << 20},
         {{0, 0}, {0, 0}, {0, kSendPing}, {0, 0}, {0, kSendPing}, {1, 0}}, 3, 2},
        {"the total count, held on two connections at once", {100, 1 << 20, 2, 1 << 20},
         {{0, 0}, {1, 0}, {0, 0}, {1, 0}, {0, kSendPing}, {1, 0}}, 3, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        searchmaster::setQueueBounds(c.bounds);
        std::vector<std::unique_ptr<LoopClient>> clients;
        for (size_t i = 0; i < c.connections; ++i) ASSERT_TRUE((clients.emplace_back(connect()))->connected());
        std::vector<size_t> sent(c.connections), pinged(c.connections);
        for (const auto& [index, padding] : c.sends) {
            const size_t before = queued();
            const auto i = static_cast<size_t>(index);
            clients[i]->send(padding == kSendPing ? kPing : search(std::to_string(sent[i]++), padding));
            if (padding == kSendPing) ++pinged[i];
            waitFor([&] { return queued() > before; }, 300ms);  // held: kept, so never queued
        }
        EXPECT_EQ(queued(), c.queuedWhileHeld);
        for (auto& client : clients) EXPECT_EQ(countOf(client->readFor(0ms), "vaxo-pong"), 0u) << "a held ping was answered";
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
            EXPECT_EQ(countOf(answers, "vaxo-pong"), pinged[i]) << "connection " << i;
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

// The worker has handed a big answer on, and the main thread has not yet run: it is counted as
// unsent already, and once its connection takes it, or goes, it is counted no more.
TEST_F(QueueBoundsTest, AnAnswerOnItsWayCountsAsUnsentOnce) {
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "its client resets meanwhile" : "its client reads it");
        const size_t before = platform::TCPSocket::UnsentBytes();
        auto client = connect();
        ASSERT_TRUE(client->connected());
        client->send(search("big"));
        ASSERT_TRUE(waitFor([&] { return waiting == 1; }));
        permits.release(1);
        // No event runs on this thread meanwhile: the answer can only be on its way.
        for (const auto until = std::chrono::steady_clock::now() + 10s; queued() != 0 && std::chrono::steady_clock::now() < until;)
            std::this_thread::sleep_for(1ms);
        EXPECT_GE(platform::TCPSocket::UnsentBytes(), before + kBigAnswer);
        if (reset)
            client->close(true);
        else
            EXPECT_EQ(answersIn(client->read(kBigAnswer)), 1u);
        EXPECT_TRUE(waitFor([&] { return platform::TCPSocket::UnsentBytes() == before; }))
            << platform::TCPSocket::UnsentBytes() - before << " bytes still counted";
    }
}

// A client that stops sending after a search is closed once it is owed nothing: also when its
// search could not be queued, or the worker could not take it, for want of memory.
TEST_F(QueueBoundsTest, AClientThatStoppedSendingIsClosedAlsoWhenItsSearchFailed) {
    permits.release(100);
    const struct {
        const char* failing;
        std::optional<searchmaster::Failing> where;
        size_t answers;
    } cases[] = {{"nothing", std::nullopt, 1},
                 {"the queueing", searchmaster::Failing::Enqueue, 0},
                 {"the worker's taking", searchmaster::Failing::Take, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.failing) + " fails");
        shown->clear();
        auto client = connect();
        ASSERT_TRUE(client->connected());
        if (c.where) searchmaster::FailNext(*c.where);
        client->send(search("s"));
        client->halfClose();
        EXPECT_TRUE(waitFor([&] { return client->ended(); }, 5s));
        EXPECT_EQ(answersIn(client->read(0)), c.answers);
        EXPECT_EQ(shown->size(), c.where ? 1u : 0u);
        EXPECT_TRUE(waitFor([&] { return queued() == 0; }));
    }
}

}  // namespace
