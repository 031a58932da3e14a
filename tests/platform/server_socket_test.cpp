// The listening socket and its connections over real loopback TCP. The capacity rule (clients
// beyond the limit wait until one leaves) and the error reporting keep the server serving under
// load, so these cases drive real clients against it.

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

// Keeps what arrives; when it is to promise, each arrival is answered at once with "got" and
// promised an answer for later.
class Connection : public platform::TCPSocket {
 public:
    std::string received;
    bool promise = false;

 protected:
    void Event_DataAvailable() override {
        received += ReadAll();
        if (!promise) return;
        Write("got");
        PromiseAnswer();
    }
};

class TestServer : public platform::ServerSocket {
 public:
    std::vector<QPointer<Connection>> sockets;
    std::vector<int32_t> errors;
    int added() const { return static_cast<int>(sockets.size()); }
    bool receiving(const std::string& text) const {
        return std::any_of(sockets.begin(), sockets.end(),
                           [&](const auto& s) { return s && s->received.find(text) != std::string::npos; });
    }
    quint16 listenNow() { Listen(); return static_cast<quint16>(Port()); }

 protected:
    std::unique_ptr<platform::TCPSocket> Event_AddSocket() override {
        sockets.emplace_back(new Connection);
        return std::unique_ptr<platform::TCPSocket>(sockets.back().data());
    }
    void Event_Error(int32_t code) override { errors.push_back(code); }
};

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

// The answer being sent never counts: a client that does not read is cut off only when more than
// the bound waits behind it.
TEST(ServerSocket, OutputWaitingBehindTheAnswerBeingSentIsBounded) {
    constexpr size_t kBound = platform::TCPSocket::kMaximumWaitingOutput;
    TestServer server;
    const quint16 port = server.listenNow();
    test_support::Client client;
    ASSERT_TRUE(client.open(port, 64 * 1024));
    ASSERT_TRUE(waitUntil([&] { return server.added() == 1; }));
    Connection& connection = *server.sockets[0];
    connection.Write(std::string(kBound + 1, 'a'));
    connection.Write(std::string(kBound / 2, 'b'));
    connection.Write(std::string(kBound / 2, 'c'));
    settle();
    EXPECT_TRUE(connection.IsConnected());
    connection.Write("d");
    EXPECT_FALSE(connection.IsConnected());
    EXPECT_TRUE(connection.closedState()->load());
    EXPECT_TRUE(waitUntil([&] { return server.ActiveConnections() == 0; }));
}

}  // namespace
