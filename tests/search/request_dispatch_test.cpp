// The search service over real loopback TCP: what each kind of request gets back, what the log
// says about it, and how the queue and its worker behave when requests pile up, fail or lose
// their client. The worker is held at a gate where order matters, so nothing relies on timing.

#include "search_fixture.h"

#include "core/gfs_state.h"

#include <cctype>
#include <ostream>
#include <stdexcept>

namespace qvsearch {
namespace {

const std::string kDeclaration = R"(<?xml version="1.0" encoding="UTF-8" standalone="no" ?>)"
                                 "\n\n";
const std::string kNoResult = kDeclaration + "<answer>No result</answer>";
const std::string kViewSep = "%%__''''__%%";

std::string dataElement(const std::string& action, const std::string& system) {
    return R"(<data appcode="Vaxo" action=")" + action + R"(" address="127.0.0.1" status="ready" system=")" +
           system + "\" />\n";
}

std::string pong(const std::string& system) {
    return kDeclaration + "<answer>\n" + dataElement("vaxo-pong", system) + "</answer>\n";
}

std::string databaseList(const std::string& system, const std::vector<std::string>& lines) {
    std::string text = kDeclaration + "<answer>\n" + dataElement("vaxo-dbzoznam", system) + "<databases>\n";
    for (const std::string& line : lines) text += line + "\n";
    return text + "</databases>\n</answer>\n";
}

std::string searchAnswer(const std::string& window, const std::string& view, const std::string& condition) {
    return kDeclaration + "<result>\n\t<description window=\"" + window + "\" tab=\"" + view + "\" sqlquery=\"" +
           condition + "\" />\n\t<records>\n\t</records>\n</result>\n";
}

// "SQL action: Query: <condition>; results: 0; ticks: <digits>"
bool isSqlActionFor(const std::string& message, const std::string& condition) {
    const std::string prefix = "SQL action: Query: " + condition + "; results: 0; ticks: ";
    if (message.compare(0, prefix.size(), prefix) != 0 || message.size() == prefix.size()) return false;
    for (size_t i = prefix.size(); i < message.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(message[i]))) return false;
    return true;
}

const std::string kPing = joinFields({"", "vaxo-ping", "d", "afterwards"});

// ---- Immediate answers, one request per fresh server ----

struct ImmediateCase {
    std::string name, request, system;
    bool spotlightSwitch;
    std::vector<std::string> databases;
    std::string answer;
    std::vector<std::string> log;
    int beeps;
};

// gtest would otherwise print the case as raw bytes.
void PrintTo(const ImmediateCase& c, std::ostream* os) { *os << c.name; }

class ImmediateAnswers : public SearchServerTest, public ::testing::WithParamInterface<ImmediateCase> {};

TEST_P(ImmediateAnswers, AnswerLogAndBeepsAreExact) {
    const ImmediateCase& c = GetParam();
    application->candospotlightstring = c.system;
    gfs::spotlightSwitchMirror = c.spotlightSwitch;
    for (const std::string& path : c.databases) application->databases.emplace_back(path);

    auto client = connectClient();
    client->send(c.request);
    EXPECT_EQ(client->receiveBytes(c.answer.size()), c.answer);
    EXPECT_EQ(logMessages(), c.log);
    EXPECT_EQ(presented->beeps, c.beeps);
    EXPECT_EQ(queuedRequests(), 0u);
    EXPECT_FALSE(workerRunning());

    // Whatever else the request made the server write would arrive before this pong.
    client->send(kPing);
    const std::string after = pong(c.system + (c.spotlightSwitch ? "***::::***+spotlight" : ""));
    EXPECT_EQ(client->receiveBytes(c.answer.size() + after.size()), c.answer + after);
}

const std::string kSystem = "Debian GNU/Linux 12";
const std::string kSuffixed = kSystem + "***::::***+spotlight";

INSTANTIATE_TEST_SUITE_P(
    Protocol, ImmediateAnswers,
    ::testing::Values(
        ImmediateCase{"Ping", joinFields({"x", "vaxo-ping", "det", "lab"}), kSystem, false, {}, pong(kSystem),
                      {"ping: lab (det) "}, 0},
        ImmediateCase{"PingSpotlightOn", joinFields({"x", "vaxo-ping", "det", "lab"}), kSystem, true, {},
                      pong(kSuffixed), {"ping: lab (det) "}, 0},
        ImmediateCase{"PingEmptySystem", joinFields({"", "vaxo-ping", "", ""}), "", false, {}, pong(""),
                      {"ping:  () "}, 0},
        ImmediateCase{"PingEmptySystemSpotlightOn", joinFields({"", "vaxo-ping", "", ""}), "", true, {},
                      pong("***::::***+spotlight"), {"ping:  () "}, 0},
        ImmediateCase{"PingIgnoresCaseAndExtraFields",
                      joinFields({"", "VAXO-Ping", "det", "lab", "", "/a", "c", "v", "s", "more"}), kSystem, false,
                      {}, pong(kSystem), {"ping: lab (det) "}, 0},
        ImmediateCase{"GetList", joinFields({"", "vaxo-getlist", "det", "lab"}), kSystem, false,
                      {"/srv/cat/one.vxo", "/srv/cat/two & <three>.vxo", "/srv/cat/one.vxo"},
                      databaseList(kSystem, {R"(<database name="one.vxo" path="/srv/cat/one.vxo" />)",
                                             R"(<database name="two & <three>.vxo" path="/srv/cat/two & <three>.vxo" />)",
                                             R"(<database name="one.vxo" path="/srv/cat/one.vxo" />)"}),
                      {"db list: lab (det) "}, 0},
        ImmediateCase{"GetListEmptyIgnoresCaseSpotlightOn", joinFields({"", "Vaxo-GetList", "det", "lab"}), kSystem,
                      true, {}, databaseList(kSuffixed, {}), {"db list: lab (det) "}, 0},
        ImmediateCase{"NoSeparator", "vaxo-ping", kSystem, false, {}, kNoResult, {}, 0},
        ImmediateCase{"SearchWithoutSeparator", "vaxo-search", kSystem, false, {}, kNoResult, {}, 0},
        ImmediateCase{"UnknownCommand", joinFields({"", "vaxo-pingx", "d", "l"}), kSystem, false, {}, kNoResult, {},
                      0},
        ImmediateCase{"CommandWithLineEnd", joinFields({"", "vaxo-ping\n", "d", "l"}), kSystem, false, {}, kNoResult,
                      {}, 0},
        ImmediateCase{"CommandInFirstField", joinFields({"vaxo-ping", "", "d", "l"}), kSystem, false, {}, kNoResult, {},
                      0},
        // Too short to be logged: answered all the same, and the failure reaches the handler.
        ImmediateCase{"ShortPing", joinFields({"x", "vaxo-ping"}), kSystem, false, {}, pong(kSystem), {}, 1},
        ImmediateCase{"PingWithoutLabel", joinFields({"x", "vaxo-ping", "det"}), kSystem, false, {}, pong(kSystem),
                      {}, 1},
        ImmediateCase{"ShortGetList", joinFields({"x", "vaxo-getlist"}), kSystem, false, {"/srv/one.vxo"},
                      databaseList(kSystem, {R"(<database name="one.vxo" path="/srv/one.vxo" />)"}), {}, 1}),
    [](const ::testing::TestParamInfo<ImmediateCase>& info) { return info.param.name; });

// ---- Searches ----

class Search : public SearchServerTest {
 protected:
    // Waits for the worker's log lines and checks that they name these conditions in this order.
    void expectSqlActions(const std::vector<std::string>& conditions) {
        std::vector<std::string> lines;
        waitUntil([&] {
            lines.clear();
            for (const std::string& m : logMessages())
                if (m.rfind("SQL action: ", 0) == 0) lines.push_back(m);
            return lines.size() >= conditions.size();
        });
        ASSERT_EQ(lines.size(), conditions.size());
        for (size_t i = 0; i < lines.size(); ++i) EXPECT_TRUE(isSqlActionFor(lines[i], conditions[i])) << lines[i];
    }
};

TEST_F(Search, ShortSearchGetsNoAnswerNoLogAndNoQueueEntry) {
    for (const std::string& request :
         {joinFields({"", "vaxo-search", "d", "l", "", "/a.vxo"}), joinFields({"", "vaxo-browse", "d", "l", "", ""}),
          joinFields({"", "vaxo-search"})}) {
        SCOPED_TRACE(request);
        const int beepsBefore = presented->beeps;
        auto client = connectClient();
        client->send(request);
        EXPECT_TRUE(waitUntil([&] { return presented->beeps == beepsBefore + 1; }));
        EXPECT_EQ(queuedRequests(), 0u);
        EXPECT_FALSE(workerRunning());
        EXPECT_TRUE(logMessages().empty());
        // No answer came first: the stream starts with the pong. This short ping beeps too.
        client->send(joinFields({"", "vaxo-ping"}));
        EXPECT_EQ(client->receiveBytes(pong("").size()), pong(""));
        EXPECT_EQ(presented->beeps, beepsBefore + 2);
    }
}

TEST_F(Search, AnswerAndLogLinesForEachRequestShape) {
    const std::string view = "v0" + kViewSep + "v1" + kViewSep + "v2" + kViewSep + "WIN" + kViewSep + "v4";
    const std::string rawCondition = R"(name LIKE '%"a<b"&%')";
    const struct {
        std::string request, answer, searchLine, condition;
    } cases[] = {
        {searchRequest("lab", rawCondition, "/a.vxo::/b.vxo", view, "spot"), searchAnswer("WIN", view, rawCondition),
         "search: lab (d), SQL:" + rawCondition + " dbs: /a.vxo , /b.vxo", rawCondition},
        {joinFields({"", "vaxo-search", "d", "l", "", "/a.vxo", "c = 1"}), searchAnswer("", "", "c = 1"),
         "search: l (d), SQL:c = 1 dbs: /a.vxo", "c = 1"},
        {searchRequest("l", "q", ""), searchAnswer("", "", "q"), "search: l (d), SQL:q dbs: ", "q"},
        {searchRequest("l", "b", "/x/1.vxo::/x/2.vxo::/x/3.vxo", "a" + kViewSep + "b" + kViewSep + "c", "", "Vaxo-Browse"),
         searchAnswer("", "a" + kViewSep + "b" + kViewSep + "c", "b"),
         "Browse: l (d), SQL:b dbs: /x/1.vxo , /x/2.vxo , /x/3.vxo", "b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        const size_t logged = logMessages().size();
        auto client = connectClient();
        client->send(c.request);
        EXPECT_EQ(client->receiveBytes(c.answer.size()), c.answer);
        ASSERT_TRUE(waitForLogMessages(logged + 2));
        const std::vector<std::string> messages = logMessages();
        ASSERT_EQ(messages.size(), logged + 2);
        EXPECT_EQ(messages[logged], c.searchLine);
        EXPECT_TRUE(isSqlActionFor(messages[logged + 1], c.condition)) << messages[logged + 1];
    }
    EXPECT_EQ(presented->beeps, 0);
}

TEST_F(Search, QueuedSearchesAreAnsweredInArrivalOrderOnTheirOwnConnections) {
    searchmaster::setSearchSteps(gatedSteps());
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(connectClient());
        clients.back()->send(searchRequest("c" + std::to_string(i), "q" + std::to_string(i)));
        // The first is being served (still at the head of the queue); the others wait behind it.
        ASSERT_TRUE(waitUntil([&] { return gate.waiting() == 1 && queuedRequests() == static_cast<size_t>(i + 1); }));
    }
    for (size_t i = 0; i < 3; ++i) {
        gate.release();
        const std::string answer = searchAnswer("", "", "q" + std::to_string(i));
        EXPECT_EQ(clients[i]->receiveBytes(answer.size()), answer);
        for (size_t later = i + 1; later < 3; ++later) EXPECT_EQ(clients[later]->received(), "") << later;
    }
    EXPECT_EQ(servedConditions(), (std::vector<std::string>{"q0", "q1", "q2"}));
    const auto threads = servingThreads();
    ASSERT_EQ(threads.size(), 3u);
    EXPECT_TRUE(threads[0] == threads[1] && threads[1] == threads[2]) << "the queue was drained by more than one worker";

    expectSqlActions({"q0", "q1", "q2"});

    // The last answer is posted in the same step that retires the worker.
    clients[2]->received();
    EXPECT_FALSE(workerRunning());
    EXPECT_EQ(queuedRequests(), 0u);
}

TEST_F(Search, PingAfterASearchOnTheSameConnectionIsAnsweredFirst) {
    searchmaster::setSearchSteps(gatedSteps());
    auto client = connectClient();
    client->send(searchRequest("l", "slow"));
    ASSERT_TRUE(waitUntil([&] { return gate.waiting() == 1; }));
    client->send(kPing);
    EXPECT_EQ(client->receiveUntil("</answer>\n"), pong(""));
    gate.release();
    const std::string both = pong("") + searchAnswer("", "", "slow");
    EXPECT_EQ(client->receiveBytes(both.size()), both);
}

TEST_F(Search, TwoSearchesOnOneConnectionGetTwoWholeAnswersInOrder) {
    auto client = connectClient();
    const std::string first = searchAnswer("", "", "one");
    const std::string second = searchAnswer("", "", "two");
    client->send(searchRequest("l", "one"));
    EXPECT_EQ(client->receiveUntil("</result>\n"), first);
    client->send(searchRequest("l", "two"));
    EXPECT_EQ(client->receiveBytes(first.size() + second.size()), first + second);
    expectSqlActions({"one", "two"});
}

TEST_F(Search, AFailingRequestIsAnsweredLoggedReportedAndTheWorkerGoesOn) {
    searchmaster::setSearchSteps(gatedSteps([](RequestState& state) {
        if (state.condition == "fails") throw std::runtime_error("catalog unreadable");
    }));
    auto failing = connectClient();
    failing->send(searchRequest("l", "fails"));
    ASSERT_TRUE(waitUntil([&] { return gate.waiting() == 1; }));
    auto next = connectClient();
    next->send(searchRequest("l", "fine"));
    ASSERT_TRUE(waitUntil([&] { return queuedRequests() == 2; }));
    gate.release(2);

    const std::string failed = searchAnswer("", "", "fails");
    const std::string fine = searchAnswer("", "", "fine");
    EXPECT_EQ(failing->receiveBytes(failed.size()), failed);
    EXPECT_EQ(next->receiveBytes(fine.size()), fine);
    EXPECT_TRUE(waitUntil([&] { return presented->beeps == 1; }));
    expectSqlActions({"fails", "fine"});
    const auto threads = servingThreads();
    ASSERT_EQ(threads.size(), 2u);
    EXPECT_EQ(threads[0], threads[1]);
    settle();
    EXPECT_EQ(presented->beeps, 1);
}

TEST_F(Search, AClientLeavingBeforeItsAnswerHarmsNobody) {
    searchmaster::setSearchSteps(gatedSteps());
    auto gone = connectClient();
    gone->send(searchRequest("l", "gone"));
    ASSERT_TRUE(waitUntil([&] { return gate.waiting() == 1; }));
    gone->disconnect();
    // The server has dropped (and deleted) the connection while its request is still being served.
    ASSERT_TRUE(waitUntil([&] { return server->ActiveConnections() == 0; }));
    auto next = connectClient();
    next->send(searchRequest("l", "next"));
    ASSERT_TRUE(waitUntil([&] { return queuedRequests() == 2; }));
    gate.release(2);

    const std::string answer = searchAnswer("", "", "next");
    EXPECT_EQ(next->receiveBytes(answer.size()), answer);
    expectSqlActions({"gone", "next"});
    EXPECT_EQ(presented->beeps, 0);
}

TEST_F(Search, ShutdownFinishesTheRequestBeingServedAndDropsTheWaitingOnes) {
    searchmaster::setSearchSteps(gatedSteps());
    auto served = connectClient();
    served->send(searchRequest("l", "current"));
    ASSERT_TRUE(waitUntil([&] { return gate.waiting() == 1; }));
    auto dropped = connectClient();
    dropped->send(searchRequest("l", "waiting"));
    ASSERT_TRUE(waitUntil([&] { return queuedRequests() == 2; }));
    // shutdown takes the worker out of gfs::searchthread before it waits for it; only then may
    // the worker go on, so that it must see the stop.
    std::thread opener([this] {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (workerRunning() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
        gate.openForever();
    });
    searchmaster::shutdown();
    opener.join();

    const std::string answer = searchAnswer("", "", "current");
    EXPECT_EQ(served->receiveBytes(answer.size()), answer);
    EXPECT_EQ(queuedRequests(), 0u);
    EXPECT_EQ(servedConditions(), std::vector<std::string>{"current"});
    expectSqlActions({"current"});
    settle();
    EXPECT_EQ(dropped->received(), "");

    // A later start begins afresh.
    dropped->send(searchRequest("l", "again"));
    const std::string again = searchAnswer("", "", "again");
    EXPECT_EQ(dropped->receiveBytes(again.size()), again);
}

// ---- Connection limit ----

TEST_F(Search, ClientsBeyondTheLimitAreServedWhenOneLeaves) {
    server->SetMaximumSocketsConnected(2);
    std::vector<std::unique_ptr<Client>> clients;
    // One after another, so that the third waits in the kernel's backlog; arriving together, it
    // waits in Qt's own pending queue instead (the next case).
    for (int i = 0; i < 2; ++i) {
        clients.push_back(connectClient());
        clients.back()->send(kPing);
        EXPECT_EQ(clients.back()->receiveBytes(pong("").size()), pong(""));
    }
    clients.push_back(connectClient());
    clients.back()->send(kPing);
    settle();
    EXPECT_EQ(clients[2]->received(), "");
    EXPECT_EQ(server->ActiveConnections(), 2);

    clients[0]->disconnect();
    EXPECT_EQ(clients[2]->receiveBytes(pong("").size()), pong(""));
    EXPECT_EQ(server->ActiveConnections(), 2);
}

// The third may be taken off the kernel's queue while the first two are being accepted; its
// request then arrives before its connection is handed over, and must still be dispatched.
TEST_F(Search, ClientsArrivingTogetherBeyondTheLimitAreAllServed) {
    server->SetMaximumSocketsConnected(2);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(connectClient());
        clients.back()->send(kPing);
    }
    settle();
    std::vector<size_t> answered, waiting;
    for (size_t i = 0; i < 3; ++i) (clients[i]->received() == pong("") ? answered : waiting).push_back(i);
    ASSERT_EQ(answered.size(), 2u);
    ASSERT_EQ(waiting.size(), 1u);
    clients[answered[0]]->disconnect();
    EXPECT_EQ(clients[waiting[0]]->receiveBytes(pong("").size()), pong(""));
}

}  // namespace
}  // namespace qvsearch
