// The search service over real loopback TCP: what each kind of request gets back, what the log
// says about it, and how the queue and its worker behave when requests pile up, fail or lose
// their client. The worker is held at a gate where order matters, so nothing relies on timing.

#include "core/app.h"
#include "core/gfs_state.h"
#include "platform/exception_guard.h"
#include "platform/message_box.h"
#include "search/request_fields.h"
#include "search/search_answer.h"
#include "search/searchmaster.h"
#include "search/tcp_serverik.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <semaphore>
#include <unistd.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const std::string kDeclaration = R"(<?xml version="1.0" encoding="UTF-8" standalone="no" ?>)" "\n\n";
const std::string kSystem = "Debian 12", kSuffix = "***::::***+spotlight", kViewSep = "%%__''''__%%";

std::string identity(const std::string& action, const std::string& system) {
    return kDeclaration + "<answer>\n<data appcode=\"Vaxo\" action=\"" + action +
           "\" address=\"127.0.0.1\" status=\"ready\" system=\"" + system + "\" />\n";
}

std::string pong(const std::string& system = "") { return identity("vaxo-pong", system) + "</answer>\n"; }

std::string databaseList(const std::string& system, const Lines& paths) {
    std::string text = identity("vaxo-dbzoznam", system) + "<databases>\n";
    for (const std::string& path : paths)
        text += "<database name=\"" + fs::path(path).filename().string() + "\" path=\"" + path + "\" />\n";
    return text + "</databases>\n</answer>\n";
}

std::string searchAnswer(const std::string& condition, const std::string& view = "", const std::string& window = "",
                         const std::string& records = "") {
    return kDeclaration + "<result>\n\t<description window=\"" + window + "\" tab=\"" + view + "\" sqlquery=\"" +
           condition + "\" />\n\t<records>\n" + records + "\t</records>\n</result>\n";
}

std::string fields(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (auto part = parts.begin(); part != parts.end(); ++part)
        text.append(part == parts.begin() ? "" : kFieldSeparator).append(*part);
    return text;
}

const std::string kPing = fields({"", "vaxo-ping", "d", "afterwards"});

// Processes events (also deferred deletes) until the condition holds or the limit passes.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (done()) return true;
        std::this_thread::sleep_for(2ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

struct Client {
    explicit Client(int port) { socket.connectToHost("127.0.0.1", static_cast<quint16>(port)); }
    void send(std::string_view bytes) {
        socket.write(bytes.data(), static_cast<qint64>(bytes.size()));
        socket.waitForBytesWritten(5000);  // connects first
    }
    // What arrived so far, after waiting until it holds at least `count` bytes.
    const std::string& read(size_t count = 0) {
        waitUntil([&] { return (got += socket.readAll().toStdString()).size() >= count; });
        return got;
    }
    QTcpSocket socket;
    std::string got;
};

std::atomic<int> beeps{0};

struct Presenter final : platform::MessagePresenter {
    void showMessage(const std::string& text) override { ADD_FAILURE() << "unexpected message box: " << text; }
    void beep() override { ++beeps; }
};

class SearchServer : public ::testing::Test {
 protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("qv-search-" + std::to_string(::getpid()));
        fs::create_directories(folder);
        ::setenv("QUORVANTEL_APP_FOLDER", folder.c_str(), 1);
        application = std::make_unique<app>();
        gfs::servstatx = "ready";
        beeps = 0;
        platform::setMessagePresenter(std::make_unique<Presenter>());
        platform::setUnhandledExceptionHandler([](std::exception_ptr e) { return App().Event_UnhandledException(e); });
        server = std::make_unique<TCPserverik>();
        server->SetPort(0);
        server->Listen();
        ASSERT_TRUE(server->IsListening());
    }
    void TearDown() override {
        permits.release(1000);  // a worker held after a failed assertion would block shutdown
        searchmaster::shutdown();
        searchmaster::setSearchSteps(SearchSteps{});
        waitUntil([] { return true; });  // the writes and joins the worker posted
        server.reset();
        waitUntil([] { return true; });
        platform::setUnhandledExceptionHandler(nullptr);
        application.reset();
        gfs::spotlightSwitchMirror = false;
        ::unsetenv("QUORVANTEL_APP_FOLDER");
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    std::unique_ptr<Client> connect() { return std::make_unique<Client>(server->Port()); }

    // The log messages so far, without their time stamps and ticks.
    Lines log() const {
        static const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d: )"), ticks(R"(; ticks: \d+$)");
        Lines messages;
        std::error_code none;  // no folder before the first line
        for (const auto& entry : fs::directory_iterator(folder / "logs", none)) {
            std::ifstream in(entry.path());
            for (std::string line; std::getline(in, line);)
                messages.push_back(
                    std::regex_replace(std::regex_search(line, stamp) ? line.substr(21) : line, ticks, "; ticks: N"));
        }
        return messages;
    }
    size_t queued() {
        std::lock_guard lock(App().queueMutex);
        EXPECT_EQ(App().searchrequests.size(), App().searchsockets.size());
        return App().searchrequests.size();
    }
    bool workerRunning() {
        std::lock_guard lock(App().queueMutex);
        return gfs::searchthread != nullptr;
    }
    fs::path folder;
    std::unique_ptr<app> application;
    std::unique_ptr<TCPserverik> server;
    std::atomic<int> waiting{0};
    std::counting_semaphore<4096> permits{0};
};

// Each request on a connection of its own, then a ping on it: whatever else the request made
// the server write would arrive before that pong.
TEST_F(SearchServer, AnswersAndLogLinesOfEachRequestShapeAreExact) {
    const std::string noResult = kDeclaration + "<answer>No result</answer>";  // no line end
    const std::string view = "v0" + kViewSep + "v1" + kViewSep + "v2" + kViewSep + "WIN" + kViewSep + "v4";
    const std::string raw = R"(name LIKE '%"a<b"&%')", abc = "a" + kViewSep + "b" + kViewSep + "c";
    const Lines paths = {"/c/one.vxo", "/c/two & <3>.vxo", "/c/one.vxo"};
    const auto sqlLine = [](const std::string& c) { return "SQL action: Query: " + c + "; results: 0; ticks: N"; };
    const struct {
        std::string request, system;
        bool spotlight;
        Lines databases;
        std::string answer;
        Lines log;
        int beeps;
    } cases[] = {
        {fields({"x", "vaxo-ping", "det", "lab"}), kSystem, false, {}, pong(kSystem), {"ping: lab (det) "}, 0},
        {fields({"", "VAXO-Ping", "det", "lab", "", "/a", "c", "v", "s", "more"}), kSystem, true, {},
         pong(kSystem + kSuffix), {"ping: lab (det) "}, 0},
        {fields({"", "vaxo-ping", "", ""}), "", true, {}, pong(kSuffix), {"ping:  () "}, 0},
        {fields({"", "vaxo-getlist", "det", "lab"}), kSystem, false, paths, databaseList(kSystem, paths),
         {"db list: lab (det) "}, 0},
        {fields({"", "Vaxo-GetList", "d", "l"}), kSystem, true, {}, databaseList(kSystem + kSuffix, {}),
         {"db list: l (d) "}, 0},
        {"vaxo-search", kSystem, false, {}, noResult, {}, 0},
        {fields({"", "vaxo-pingx", "d", "l"}), kSystem, false, {}, noResult, {}, 0},
        {fields({"", "vaxo-ping\n", "d", "l"}), kSystem, false, {}, noResult, {}, 0},
        {fields({"vaxo-ping", "", "d", "l"}), kSystem, false, {}, noResult, {}, 0},
        // Too short to be logged: a ping is answered all the same, a search gets nothing, and
        // the failure reaches the handler.
        {fields({"x", "vaxo-ping"}), kSystem, false, {}, pong(kSystem), {}, 1},
        {fields({"x", "vaxo-ping", "det"}), kSystem, false, {}, pong(kSystem), {}, 1},
        {fields({"x", "vaxo-getlist"}), kSystem, false, {"/s/1.vxo"}, databaseList(kSystem, {"/s/1.vxo"}), {}, 1},
        {fields({"", "vaxo-search", "d", "l", "", "/a.vxo"}), kSystem, false, {}, "", {}, 1},
        {fields({"", "vaxo-browse", "d", "l", "", ""}), kSystem, false, {}, "", {}, 1},
        {fields({"", "vaxo-search"}), kSystem, false, {}, "", {}, 1},
        {fields({"", "vaxo-search", "d", "lab", "", "/a.vxo::/b.vxo", raw, view, "spot"}), kSystem, false, {},
         searchAnswer(raw, view, "WIN"), {"search: lab (d), SQL:" + raw + " dbs: /a.vxo , /b.vxo", sqlLine(raw)}, 0},
        {fields({"", "vaxo-search", "d", "l", "", "", "c = 1"}), kSystem, false, {}, searchAnswer("c = 1"),
         {"search: l (d), SQL:c = 1 dbs: ", sqlLine("c = 1")}, 0},
        {fields({"", "Vaxo-Browse", "d", "l", "", "/1::/2::/3", "b", abc, ""}), kSystem, false, {},
         searchAnswer("b", abc), {"Browse: l (d), SQL:b dbs: /1 , /2 , /3", sqlLine("b")}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        application->candospotlightstring = c.system;
        gfs::spotlightSwitchMirror = c.spotlight;
        application->databases.clear();
        for (const std::string& path : c.databases) application->databases.emplace_back(path);
        const size_t logged = log().size();
        const int beepsBefore = beeps;
        auto client = connect();
        client->send(c.request);
        EXPECT_EQ(client->read(c.answer.size()), c.answer);
        EXPECT_TRUE(waitUntil([&] { return log().size() >= logged + c.log.size() && beeps == beepsBefore + c.beeps; }));
        client->send(kPing);
        const std::string after = pong(c.system + (c.spotlight ? kSuffix : ""));
        EXPECT_EQ(client->read(c.answer.size() + after.size()), c.answer + after);
        Lines expected = c.log, all = log();
        expected.push_back("ping: afterwards (d) ");
        EXPECT_EQ(Lines(all.begin() + static_cast<long>(logged), all.end()), expected);
        EXPECT_EQ(beeps - beepsBefore, c.beeps);
        EXPECT_EQ(queued(), 0u);
        EXPECT_FALSE(workerRunning());
    }
}

TEST_F(SearchServer, QueuedSearchesAreAnsweredInOrderByOneWorkerWhateverBecomesOfThem) {
    const std::string found = "\t\t<record ppath=\"/p\" name=\"n\" itype=\"\" disk=\"\" size=\"\" dcr=\"\" dmd=\"\" "
                              "vis=\"\" mt=\"\" mc=\"\"/>\n";
    // The worker waits for a permit in every request; a second worker would make two wait.
    SearchSteps steps;
    steps.databaseLoop = [this](RequestState& state) {
        ++waiting;
        permits.acquire();
        --waiting;
        if (state.condition != "fails") return;
        appendRecordLine(state.answer, {"/p", "n", "", "", "", "", "", "", "", ""}, RecordEnd::Tight);
        throw std::runtime_error("catalog unreadable");
    };
    searchmaster::setSearchSteps(steps);
    std::vector<std::unique_ptr<Client>> clients;
    for (const char* condition : {"gone", "fails", "fine"}) {
        clients.push_back(connect());
        clients.back()->send(fields({"", "vaxo-search", "d", "l", "", "/a.vxo", condition, "", ""}));
        // The first is being served (still at the head of the queue); the others wait behind it.
        ASSERT_TRUE(waitUntil([&] { return waiting == 1 && queued() == clients.size(); }));
    }
    // A ping sent behind a search on the same connection is answered first.
    clients[1]->send(kPing);
    EXPECT_EQ(clients[1]->read(pong().size()), pong());
    // A client that leaves while its request is served keeps its connection until the answer
    // has been written; then the server drops (and deletes) it.
    clients[0]->socket.disconnectFromHost();
    permits.release();
    ASSERT_TRUE(waitUntil([&] { return waiting == 1 && queued() == 2 && server->ActiveConnections() == 2; }));
    EXPECT_EQ(clients[2]->read(), "");
    // A failed request is answered with what it had found, and its failure reaches the handler.
    permits.release();
    const std::string failed = pong() + searchAnswer("fails", "", "", found);
    EXPECT_EQ(clients[1]->read(failed.size()), failed);
    EXPECT_TRUE(waitUntil([&] { return waiting == 1 && beeps == 1; }));
    EXPECT_EQ(clients[2]->read(), "");
    permits.release();
    EXPECT_EQ(clients[2]->read(searchAnswer("fine").size()), searchAnswer("fine"));
    EXPECT_TRUE(waitUntil([&] { return log().size() == 7; }));  // a search line and an SQL line each
    EXPECT_FALSE(workerRunning());
    EXPECT_EQ(queued(), 0u);
}

// One after another, the third waits in the kernel's backlog; arriving together, it may wait in
// Qt's own pending queue with its request already read, and must still be dispatched.
TEST_F(SearchServer, ClientsBeyondTheLimitAreServedWhenOneLeaves) {
    server->SetMaximumSocketsConnected(2);
    for (const bool together : {false, true}) {
        SCOPED_TRACE(together);
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < 3; ++i) {
            clients.push_back(connect());
            clients.back()->send(kPing);
            if (!together && i < 2) { ASSERT_EQ(clients.back()->read(pong().size()), pong()); }
        }
        waitUntil([] { return false; }, 300ms);  // room for the third to be served too early
        std::vector<size_t> answered, waiting;
        for (size_t i = 0; i < 3; ++i) (clients[i]->read() == pong() ? answered : waiting).push_back(i);
        ASSERT_EQ(waiting.size(), 1u);
        EXPECT_TRUE(together || waiting[0] == 2);
        EXPECT_EQ(server->ActiveConnections(), 2);
        clients[answered[0]]->socket.disconnectFromHost();
        EXPECT_EQ(clients[waiting[0]]->read(pong().size()), pong());
        for (auto& client : clients) client->socket.disconnectFromHost();
        ASSERT_TRUE(waitUntil([&] { return server->ActiveConnections() == 0; }));
    }
}

}  // namespace
