// The listening socket and its connections over real loopback TCP. The capacity rule (clients
// beyond the limit wait until one leaves) and the error reporting keep the server serving under
// load, so these cases drive real clients against it.

#include "platform/exception_guard.h"
#include "platform/server_socket.h"
#include "platform/tcp_socket.h"
#include "test_support/server_process.h"

#include <QCoreApplication>
#include <QNetworkInterface>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Processes events until the condition holds or the time is up.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
    for (const auto deadline = std::chrono::steady_clock::now() + limit; !condition();) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Gives the event loop time to do something that must not happen.
void settle() { waitUntil([] { return false; }, 300ms); }

// Keeps what arrives, and each arrival apart; when it is to promise, each arrival is answered at
// once with "got" and promised an answer for later.
class Connection : public platform::TCPSocket {
 public:
    std::string received;
    std::vector<std::string> arrivals;
    bool promise = false;

 protected:
    void Event_DataAvailable() override {
        arrivals.push_back(ReadAll());
        received += arrivals.back();
        if (!promise) return;
        Write("got");
        PromiseAnswer();
    }
};

class TestServer : public platform::ServerSocket {
 public:
    std::vector<QPointer<Connection>> sockets;
    std::vector<int32_t> errors;
    bool stopWhileAdding = false;  // as a box's own event loop might, while a connection is made
    int added() const { return static_cast<int>(sockets.size()); }
    bool receiving(const std::string& text) const {
        return std::any_of(sockets.begin(), sockets.end(),
                           [&](const auto& s) { return s && s->received.find(text) != std::string::npos; });
    }
    quint16 listenNow() { Listen(); return static_cast<quint16>(Port()); }

 protected:
    std::unique_ptr<platform::TCPSocket> Event_AddSocket() override {
        if (std::exchange(stopWhileAdding, false)) StopListening();
        sockets.emplace_back(new Connection);
        return std::unique_ptr<platform::TCPSocket>(sockets.back().data());
    }
    void Event_Error(int32_t code) override { errors.push_back(code); }
};

// Sends from `accepted` on, without waiting, until all is taken or the system takes nothing for
// `stall`, the server running on this thread meanwhile.
void sendOn(int fd, const std::string& bytes, size_t& accepted, std::chrono::milliseconds stall) {
    for (auto lastTaken = std::chrono::steady_clock::now();
         accepted < bytes.size() && std::chrono::steady_clock::now() - lastTaken < stall;) {
        const ssize_t n = ::send(fd, bytes.data() + accepted, std::min<size_t>(bytes.size() - accepted, 1 << 16),
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            accepted += static_cast<size_t>(n);
            lastTaken = std::chrono::steady_clock::now();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
}

// A connected client whose bytes are in the kernel when this returns.
std::unique_ptr<QTcpSocket> client(quint16 port, const std::string& text) {
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, port);
    EXPECT_TRUE(socket->waitForConnected(5000));
    socket->write(text.data(), static_cast<qint64>(text.size()));
    EXPECT_TRUE(socket->waitForBytesWritten(5000));
    return socket;
}

// Three clients against a limit of two; `together` has all three connect before the server runs.
TEST(ServerSocket, ThirdClientIsAcceptedOnlyWhenOneOfTwoLeaves) {
    for (bool together : {false, true}) {
        SCOPED_TRACE(together ? "together" : "one after another");
        TestServer server;
        server.SetMaximumSocketsConnected(2);
        const quint16 port = server.listenNow();
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (const char* text : {"client-1", "client-2", "client-3"}) {
            if (!together) waitUntil([&] { return server.added() == static_cast<int>(clients.size()); }, 1s);
            clients.push_back(client(port, text));
        }
        ASSERT_TRUE(waitUntil([&] { return server.added() == 2; }));
        settle();
        ASSERT_EQ(server.added(), 2);
        const int waiting = !server.receiving("client-1") ? 0 : !server.receiving("client-2") ? 1 : 2;
        EXPECT_FALSE(server.receiving("client-" + std::to_string(waiting + 1)));
        clients[waiting == 0 ? 1 : 0]->disconnectFromHost();
        EXPECT_TRUE(waitUntil([&] { return server.receiving("client-" + std::to_string(waiting + 1)); }));
        EXPECT_EQ(server.ActiveConnections(), 2);

        auto fourth = client(port, "client-4");  // waits until the limit is raised
        settle();
        EXPECT_FALSE(server.receiving("client-4"));
        server.SetMaximumSocketsConnected(3);
        EXPECT_TRUE(waitUntil([&] { return server.receiving("client-4"); }));
    }
}

TEST(ServerSocket, ListenFailuresAreReportedAfterListenReturns) {
    QTcpServer blocker;
    ASSERT_TRUE(blocker.listen(QHostAddress::Any, 0));
    const struct { int32_t port, code; } cases[] = {{blocker.serverPort(), QAbstractSocket::AddressInUseError},
                                                     {65536, QAbstractSocket::UnsupportedSocketOperationError},
                                                     {70000, QAbstractSocket::UnsupportedSocketOperationError},
                                                     {-1, QAbstractSocket::UnsupportedSocketOperationError}};
    for (const auto& c : cases) {
        TestServer server;
        server.SetPort(c.port);
        server.Listen();
        EXPECT_TRUE(server.errors.empty()) << "reported inside Listen";
        waitUntil([&] { return !server.errors.empty(); });
        settle();
        EXPECT_EQ(server.errors, std::vector<int32_t>{c.code}) << c.port;
        EXPECT_FALSE(server.IsListening());
    }
}

TEST(ServerSocket, TheHighestPortListens) {
    if (!test_support::portIsFree(65535)) GTEST_SKIP() << "port 65535 is taken on this machine";
    TestServer server;
    server.SetPort(65535);
    server.Listen();
    EXPECT_TRUE(waitUntil([&] { return server.IsListening(); }));
    settle();
    EXPECT_TRUE(server.errors.empty());
    EXPECT_TRUE(server.IsListening());
}

// Connections end when their clients leave: also a waiting client that left while Qt already held
// it, with its data unread.
TEST(ServerSocket, ConnectionsEndWhenTheirClientsLeave) {
    TestServer server;
    server.SetMaximumSocketsConnected(1);
    const quint16 port = server.listenNow();
    auto first = client(port, "first");
    client(port, std::string(100000, 'x'))->abort();
    ASSERT_TRUE(waitUntil([&] { return server.receiving("first"); }));
    EXPECT_EQ(server.sockets[0]->LocalAddress(), "127.0.0.1");
    first->disconnectFromHost();
    EXPECT_TRUE(waitUntil([&] { return server.added() == 2 && !server.ActiveConnections() && !server.sockets[0]; }));
    auto next = client(port, "next");
    EXPECT_TRUE(waitUntil([&] { return server.receiving("next"); }));
}

// Listening stops while a connection is made, with more clients waiting: the one being made is
// kept, no other is taken, and listening again takes them.
TEST(ServerSocket, ListeningStoppedWhileAConnectionIsMadeEndsTheRound) {
    TestServer server;
    const quint16 port = server.listenNow();
    server.stopWhileAdding = true;
    // In the kernel's queue before the server looks: one round would take them all.
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (const char* text : {"one", "two", "three"}) clients.push_back(client(port, text));
    ASSERT_TRUE(waitUntil([&] { return server.added() == 1; }));
    settle();
    EXPECT_EQ(server.added(), 1);
    EXPECT_FALSE(server.IsListening());
    EXPECT_EQ(server.ActiveConnections(), 1);
}

TEST(ServerSocket, ListenerAddressIsTheFirstExternalIPv4) {
    std::string expected = "127.0.0.1";
    const auto all = QNetworkInterface::allAddresses();
    for (auto a = all.rbegin(); a != all.rend(); ++a)  // backwards, so that the first one stays
        if (a->protocol() == QAbstractSocket::IPv4Protocol && !a->isLoopback()) expected = a->toString().toStdString();
    EXPECT_EQ(TestServer().LocalAddress(), expected);
}

// A client that only stops sending is still owed its answers: the connection ends once the
// promised ones are written. A client that resets is gone at once, whatever it was promised.
TEST(ServerSocket, AConnectionEndsOnceItsClientLeftAndNothingIsOwed) {
    const struct {
        bool promise, reset;
        std::string received;  // by the client, to its end
    } cases[] = {{false, false, ""}, {true, false, "gotlater"}, {true, true, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.promise ? "promised" : "owed nothing") + (c.reset ? ", reset" : ", half-closed"));
        TestServer server;
        const quint16 port = server.listenNow();
        test_support::Client client;
        ASSERT_TRUE(client.open(port));
        ASSERT_TRUE(waitUntil([&] { return server.added() == 1; }));
        server.sockets[0]->promise = c.promise;
        const platform::ConnectionRef connection(server.sockets[0].data());
        ASSERT_TRUE(client.send("request"));
        ASSERT_TRUE(waitUntil([&] { return server.receiving("request"); }));
        if (c.reset) client.close(true);
        else ::shutdown(client.fd(), SHUT_WR);
        settle();
        EXPECT_EQ(connection.closed(), !c.promise || c.reset);
        if (connection) connection->WritePromised("later");
        EXPECT_TRUE(waitUntil([&] { return server.ActiveConnections() == 0 && !connection && connection.closed(); }));
        if (!c.reset) {
            EXPECT_EQ(client.read(""), c.received);
        }
    }
}

// Owed bytes never cut off a client that takes them, however many; a client that takes nothing
// for the idle limit is cut off, and CutIdle cuts such clients sooner. Every byte is counted in
// UnsentBytes until the system holds it.
TEST(ServerSocket, AClientIsCutOffForTakingNothingNeverForWhatItIsOwed) {
    struct IdleLimit {
        ~IdleLimit() { platform::TCPSocket::SetMaximumIdle(platform::TCPSocket::kMaximumIdle); }
    } restore;
    platform::TCPSocket::SetMaximumIdle(400ms);
    constexpr size_t kAnswer = size_t{40} << 20;  // three of them: far more than a kernel holds
    // Cut sooner: to take in a stretch of a second, or be cut off.
    constexpr size_t kEnough = size_t{1} << 20;
    const struct {
        const char* client;
        std::chrono::milliseconds pause;  // between reads; none: it never reads
        size_t perRead;                   // at most; 0: what came
        bool cutSooner;                   // CutIdle(1s, kEnough) after 200 ms
        bool cut;
    } cases[] = {{"reads slowly, for longer than the idle limit", 30ms, 0, false, false},
                 {"reads slowly while others are cut sooner", 30ms, 0, true, false},
                 {"never reads", 0ms, 0, false, true},
                 {"never reads, cut sooner", 0ms, 0, true, true},
                 {"takes a trickle, cut sooner", 150ms, 128 * 1024, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.client);
        const size_t unsentBefore = platform::TCPSocket::UnsentBytes();
        TestServer server;
        const quint16 port = server.listenNow();
        test_support::Client client;
        ASSERT_TRUE(client.open(port, 64 * 1024));
        ASSERT_TRUE(waitUntil([&] { return server.added() == 1; }));
        // Once cut off, the connection is deleted: only the reference may be asked.
        const platform::ConnectionRef connection(server.sockets[0].data());
        for (char letter : {'a', 'b', 'c'}) connection->Write(std::string(kAnswer, letter));
        EXPECT_GT(platform::TCPSocket::UnsentBytes(), unsentBefore + 2 * kAnswer);
        const auto start = std::chrono::steady_clock::now();
        size_t received = 0;
        bool intact = true;
        while (!connection.closed() && received < 3 * kAnswer &&
               std::chrono::steady_clock::now() - start < 20s) {
            waitUntil([] { return false; }, c.pause.count() ? c.pause : 50ms);
            if (c.cutSooner && std::chrono::steady_clock::now() - start > 200ms)
                platform::TCPSocket::CutIdle(1s, kEnough);
            if (c.pause.count() == 0) continue;
            // The server runs on this thread: only what the system holds already is read.
            std::string piece = c.perRead ? std::string(c.perRead, '\0') : client.read("", 3 * kAnswer - received, 2);
            if (c.perRead) piece.resize(static_cast<size_t>(std::max<ssize_t>(0, ::recv(client.fd(), piece.data(), c.perRead, MSG_DONTWAIT))));
            for (size_t i = 0; i < piece.size(); i += 4096) intact &= piece[i] == "abc"[(received + i) / kAnswer];
            received += piece.size();
        }
        EXPECT_EQ(connection.closed(), c.cut);
        if (!c.cut) {
            EXPECT_EQ(received, 3 * kAnswer);
            EXPECT_TRUE(intact);
            EXPECT_GT(std::chrono::steady_clock::now() - start, 800ms) << "read faster than the idle limit";
        } else {
            EXPECT_LT(std::chrono::steady_clock::now() - start, c.cutSooner ? 2s : 5s);
        }
        EXPECT_TRUE(waitUntil([&] { return platform::TCPSocket::UnsentBytes() == unsentBefore; }))
            << platform::TCPSocket::UnsentBytes() - unsentBefore << " bytes still counted";
    }
}

// A connection owed a megabyte or more, or held by its owner, hands on no arrival: what its client
// sends is kept, and handed on once the hold ends, each arrival apart and in order. A held client
// that resets is still noticed.
TEST(ServerSocket, InputWaitsWhileTheConnectionIsOwedMuchOrHeld) {
    constexpr size_t kOwed = platform::TCPSocket::kReadOnlyBelowOwed;
    const struct {
        const char* why;
        size_t owed;  // written to it before the client sends
        bool held;
        bool reset;   // the client resets instead of reading
    } cases[] = {{"owed less than the system takes at once", kOwed / 4, false, false},
                 {"owed more than the system takes at once", 32 * kOwed, false, false},
                 {"held by its owner", 0, true, false},
                 {"held, and its client resets", 0, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        TestServer server;
        const quint16 port = server.listenNow();
        test_support::Client client;
        ASSERT_TRUE(client.open(port, 64 * 1024));
        ASSERT_TRUE(waitUntil([&] { return server.added() == 1; }));
        Connection& connection = *server.sockets[0];
        const platform::ConnectionRef ref(&connection);
        connection.Write(std::string(c.owed, 'o'));
        connection.HoldInput(c.held);
        // Two arrivals: the server reads between them.
        ASSERT_TRUE(client.send("first"));
        settle();
        ASSERT_TRUE(client.send("second"));
        settle();
        const std::vector<std::string> both{"first", "second"};
        const bool handsOn = c.owed < kOwed && !c.held;
        EXPECT_EQ(connection.arrivals, handsOn ? both : std::vector<std::string>{});
        if (c.reset) {
            client.close(true);
            EXPECT_TRUE(waitUntil([&] { return ref.closed(); }, 2s));
            continue;
        }
        if (c.held) connection.HoldInput(false);
        size_t received = 0;
        // The server runs on this thread: the client takes what came between turns of its loop.
        waitUntil([&] { return (received += client.read("", c.owed - received, 2).size()) >= c.owed; });
        EXPECT_EQ(received, c.owed);
        EXPECT_TRUE(waitUntil([&] { return connection.arrivals.size() >= 2; }));
        EXPECT_EQ(connection.arrivals, both);
        EXPECT_FALSE(ref.closed());
    }
}

// Held, a connection keeps what arrives up to its bound, or while another's kept arrivals reach
// the bound of all, and is then no longer read: the client is held back by TCP. Released, it gets
// every byte, in order. Under the bounds it keeps reading.
TEST(ServerSocket, AHeldConnectionKeepsArrivalsOnlyUpToItsBound) {
    struct Bounds {
        ~Bounds() { platform::TCPSocket::SetMaximumWaiting(platform::TCPSocket::kMaximumWaiting, platform::TCPSocket::kMaximumWaitingInAll); }
    } restore;
    constexpr size_t kBound = platform::TCPSocket::kMaximumWaiting, kMiB = size_t{1} << 20;
    constexpr size_t kSent = 16 * kBound;  // more than the system's buffers and the bound together
    const struct {
        const char* what;
        size_t perConnection, inAll, keptByAnother, sent;
        bool heldBack;
    } cases[] = {{"under its bound", kBound, 8 * kBound, 0, kBound / 2, false},
                 {"far past its bound", kBound, 8 * kBound, 0, kSent, true},
                 {"another keeps what reaches the bound of all", 2 * kSent, 2 * kMiB, 3 * kMiB, kSent, true},
                 {"another keeps less than it", 2 * kSent, 8 * kMiB, 3 * kMiB, kBound / 2, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform::TCPSocket::SetMaximumWaiting(c.perConnection, c.inAll);
        TestServer server;
        const quint16 port = server.listenNow();
        test_support::Client another;
        ASSERT_TRUE(another.open(port));
        ASSERT_TRUE(waitUntil([&] { return server.added() == 1; }));
        server.sockets[0]->HoldInput(true);
        const std::string kept(c.keptByAnother, 'k');
        size_t keptAccepted = 0;
        sendOn(another.fd(), kept, keptAccepted, 300ms);
        test_support::Client client;
        ASSERT_TRUE(client.open(port));
        ASSERT_TRUE(waitUntil([&] { return server.added() == 2; }));
        Connection& connection = *server.sockets[1];
        connection.HoldInput(true);
        std::string bytes(c.sent, '\0');
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + (i / 4096) % 26);
        size_t accepted = 0;
        sendOn(client.fd(), bytes, accepted, 500ms);
        EXPECT_TRUE(connection.arrivals.empty());
        std::printf("[held] %s: %zu of %zu bytes taken while held\n", c.what, accepted, c.sent);
        if (c.heldBack) {
            EXPECT_LT(accepted, kSent / 2) << "read on past its bound";
        } else {
            EXPECT_EQ(accepted, c.sent);
        }
        connection.HoldInput(false);
        sendOn(client.fd(), bytes, accepted, 5s);
        EXPECT_EQ(accepted, c.sent);
        EXPECT_TRUE(waitUntil([&] { return connection.received.size() == c.sent; }, 20s));
        EXPECT_TRUE(connection.received == bytes) << "bytes lost or out of order";
        server.sockets[0]->HoldInput(false);
        sendOn(another.fd(), kept, keptAccepted, 5s);
        EXPECT_TRUE(waitUntil([&] { return server.sockets[0]->received == kept; }));
    }
}

// A big answer freed when the helper that frees them cannot take it (its thread fails to start,
// its list cannot grow) is freed at once: a connection cut off while owed it still ends and its
// bytes are no longer counted, and a client that stopped sending still gets its last answer and
// its end.
TEST(ServerSocket, AConnectionEndsAlsoWhenItsAnswerCannotBeFreedAside) {
    constexpr size_t kBig = size_t{4} << 20;
    for (const bool cutOff : {true, false}) {
        SCOPED_TRACE(cutOff ? "cut off while owed" : "its last answer written, to a client that stopped sending");
        const size_t unsentBefore = platform::TCPSocket::UnsentBytes();
        TestServer server;
        const quint16 port = server.listenNow();
        test_support::Client client;
        ASSERT_TRUE(client.open(port, 64 * 1024));
        ASSERT_TRUE(waitUntil([&] { return server.added() == 1; }));
        const platform::ConnectionRef connection(server.sockets[0].data());
        std::string answer;
        answer.reserve(kBig);  // its memory, not its length, makes it one for the helper
        answer.assign(cutOff ? kBig : 4, 'z');
        if (cutOff) {
            connection->Write(std::move(answer));
            platform::TCPSocket::FailNextRelease();
            EXPECT_NO_THROW(platform::TCPSocket::CutIdle(0ms));
        } else {
            connection->PromiseAnswer();
            ::shutdown(client.fd(), SHUT_WR);
            settle();
            platform::TCPSocket::FailNextRelease();
            EXPECT_NO_THROW(connection->WritePromised(std::move(answer)));
            EXPECT_EQ(client.read("", SIZE_MAX, 2000), "zzzz");
        }
        EXPECT_TRUE(waitUntil([&] { return server.ActiveConnections() == 0 && connection.closed(); }));
        EXPECT_EQ(platform::TCPSocket::UnsentBytes(), unsentBefore);
    }
}

// An allocation that fails while an arrival is read reaches the unhandled-exception handler; the
// arrival is read on the next turn, whole, and the connection goes on.
TEST(ServerSocket, AnAllocationFailureWhileReadingLeavesTheConnectionServing) {
    std::vector<std::string> reported;
    platform::setUnhandledExceptionHandler([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::bad_alloc&) {
            reported.push_back("bad_alloc");
        } catch (...) {
            reported.push_back("other");
        }
        return true;
    });
    TestServer server;
    const quint16 port = server.listenNow();
    test_support::Client client;
    ASSERT_TRUE(client.open(port));
    ASSERT_TRUE(waitUntil([&] { return server.added() == 1; }));
    server.sockets[0]->promise = true;
    platform::TCPSocket::FailNextReceive();
    ASSERT_TRUE(client.send("request"));
    EXPECT_TRUE(waitUntil([&] { return server.receiving("request"); }));
    EXPECT_EQ(reported, std::vector<std::string>{"bad_alloc"});
    EXPECT_EQ(client.read("got"), "got");
    ASSERT_TRUE(client.send("next"));
    EXPECT_TRUE(waitUntil([&] { return server.receiving("requestnext"); }));
    platform::setUnhandledExceptionHandler(nullptr);
}

}  // namespace
