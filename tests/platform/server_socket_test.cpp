// The listening socket and its connections over real loopback TCP. The server's capacity rule
// (clients beyond the limit wait until one leaves) and its error reporting are what keep it
// serving under load, so these cases drive real clients against it.

#include "platform/server_socket.h"
#include "platform/tcp_socket.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Processes events until the condition holds or about five seconds pass.
template <typename Condition>
bool waitUntil(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Gives the event loop time to do something that must not happen.
void settle() {
    waitUntil([start = std::chrono::steady_clock::now()] { return std::chrono::steady_clock::now() - start > 300ms; });
}

class RecordingSocket : public platform::TCPSocket {
 public:
    RecordingSocket(bool echo, bool read) : echo_(echo), read_(read) {}
    std::string received;
    int errors = 0;

 protected:
    void Event_DataAvailable() override {
        if (!read_) return;
        const std::string bytes = ReadAll();
        received += bytes;
        if (echo_) Write(bytes);
    }
    void Event_Error() override { ++errors; }

 private:
    bool echo_, read_;
};

class TestServer : public platform::ServerSocket {
 public:
    bool echo = true;
    bool read = true;
    std::vector<QPointer<RecordingSocket>> sockets;
    std::vector<int32_t> errors;
    bool errorInsideListen = false;

    void listenNow() {
        inListen_ = true;
        Listen();
        inListen_ = false;
    }
    int added() const { return static_cast<int>(sockets.size()); }
    // The connection whose received bytes contain the text, if any.
    RecordingSocket* receiving(const std::string& text) const {
        for (const auto& s : sockets)
            if (s && s->received.find(text) != std::string::npos) return s.data();
        return nullptr;
    }

 protected:
    std::unique_ptr<platform::TCPSocket> Event_AddSocket() override {
        auto socket = std::make_unique<RecordingSocket>(echo, read);
        sockets.emplace_back(socket.get());
        return socket;
    }
    void Event_Error(int32_t code) override {
        errors.push_back(code);
        errorInsideListen = errorInsideListen || inListen_;
    }

 private:
    bool inListen_ = false;
};

// A connected client whose bytes are already in the kernel when this returns, so the server
// sees them no matter when it next runs.
std::unique_ptr<QTcpSocket> clientSending(quint16 port, const std::string& text) {
    auto client = std::make_unique<QTcpSocket>();
    client->connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    EXPECT_TRUE(client->waitForConnected(5000)) << client->errorString().toStdString();
    if (!text.empty()) {
        client->write(text.data(), static_cast<qint64>(text.size()));
        EXPECT_TRUE(client->waitForBytesWritten(5000));
    }
    return client;
}

quint16 freePort() {
    QTcpServer probe;
    EXPECT_TRUE(probe.listen(QHostAddress::Any, 0));
    return probe.serverPort();
}

TEST(ServerSocket, EchoesOverLoopback) {
    TestServer server;
    server.listenNow();
    ASSERT_TRUE(server.IsListening());
    ASSERT_GT(server.Port(), 0);
    auto client = clientSending(static_cast<quint16>(server.Port()), "hello\r\n");
    ASSERT_TRUE(waitUntil([&] { return server.receiving("hello\r\n") != nullptr; }));
    RecordingSocket* connection = server.receiving("hello");
    EXPECT_EQ(server.ActiveConnections(), 1);
    EXPECT_TRUE(connection->IsConnected());
    EXPECT_EQ(connection->LocalAddress(), "127.0.0.1");
    QByteArray echoed;
    EXPECT_TRUE(waitUntil([&] { return (echoed += client->readAll()) == "hello\r\n"; })) << echoed.toStdString();

    client->disconnectFromHost();
    EXPECT_TRUE(waitUntil([&] { return server.ActiveConnections() == 0 && server.sockets[0].isNull(); }));
    EXPECT_TRUE(server.errors.empty());
}

TEST(ServerSocket, ListenerAddressIsAnExternalIPv4) {
    TestServer server;
    std::vector<std::string> external;
    for (const QHostAddress& a : QNetworkInterface::allAddresses())
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback()) external.push_back(a.toString().toStdString());
    const std::string address = server.LocalAddress();
    QHostAddress parsed;
    ASSERT_TRUE(parsed.setAddress(QString::fromStdString(address))) << address;
    EXPECT_EQ(parsed.protocol(), QAbstractSocket::IPv4Protocol) << address;
    if (external.empty())
        EXPECT_EQ(address, "127.0.0.1");
    else
        EXPECT_NE(std::find(external.begin(), external.end(), address), external.end()) << address;
}

// Three clients against a limit of two: the third waits, unserved, until one of the first two
// leaves. `together` makes all three connect before the server runs at all.
void checkLimitOfTwo(bool together) {
    TestServer server;
    server.SetMaximumSocketsConnected(2);
    server.listenNow();
    const auto port = static_cast<quint16>(server.Port());
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    clients.push_back(clientSending(port, "client-1"));
    clients.push_back(clientSending(port, "client-2"));
    if (!together) {
        ASSERT_TRUE(waitUntil([&] { return server.receiving("client-1") && server.receiving("client-2"); }));
    }
    clients.push_back(clientSending(port, "client-3"));
    if (together) {
        ASSERT_TRUE(waitUntil([&] { return server.added() == 2; }));
    }
    settle();
    ASSERT_EQ(server.added(), 2);
    EXPECT_EQ(server.ActiveConnections(), 2);
    EXPECT_EQ(server.receiving("client-3"), nullptr);

    // Whichever two were served, one of them leaves; the waiting one is then served.
    int served = -1, waiting = -1;
    for (int i = 0; i < 3; ++i) (server.receiving("client-" + std::to_string(i + 1)) ? served : waiting) = i;
    ASSERT_GE(served, 0);
    ASSERT_GE(waiting, 0);
    clients[static_cast<size_t>(served)]->disconnectFromHost();
    const std::string text = "client-" + std::to_string(waiting + 1);
    EXPECT_TRUE(waitUntil([&] { return server.added() == 3; }));
    if (!waitUntil([&] { return server.receiving(text) != nullptr; })) {
        const std::string unannounced = server.added() == 3 && server.sockets[2] ? server.sockets[2]->ReadAll() : "";
        ADD_FAILURE() << text << " was accepted but no data event came; bytes sitting unannounced: \"" << unannounced << '"';
    }
    EXPECT_EQ(server.ActiveConnections(), 2);
    for (auto& client : clients) client->disconnectFromHost();
    EXPECT_TRUE(waitUntil([&] { return server.ActiveConnections() == 0; }));
}

TEST(ServerSocketLimit, ClientBeyondTheLimitWaitsForAFreeConnection) { checkLimitOfTwo(false); }

TEST(ServerSocketLimit, BurstOfClientsBeyondTheLimit) {
    checkLimitOfTwo(true);
}

TEST(ServerSocketLimit, RaisingTheLimitAcceptsWaitingClients) {
    TestServer server;
    server.SetMaximumSocketsConnected(1);
    server.listenNow();
    const auto port = static_cast<quint16>(server.Port());
    auto first = clientSending(port, "first");
    ASSERT_TRUE(waitUntil([&] { return server.receiving("first") != nullptr; }));
    auto second = clientSending(port, "second");
    settle();
    EXPECT_EQ(server.added(), 1);
    server.SetMaximumSocketsConnected(3);
    EXPECT_EQ(server.MaximumSocketsConnected(), 3);
    EXPECT_TRUE(waitUntil([&] { return server.receiving("second") != nullptr; }));
    EXPECT_EQ(server.ActiveConnections(), 2);
}

TEST(ServerSocketErrors, PortInUseIsReportedOnceAfterListenReturns) {
    QTcpServer blocker;
    ASSERT_TRUE(blocker.listen(QHostAddress::Any, 0));
    TestServer server;
    server.SetPort(blocker.serverPort());
    server.listenNow();
    EXPECT_TRUE(server.errors.empty()) << "reported inside Listen";
    EXPECT_FALSE(server.IsListening());
    ASSERT_TRUE(waitUntil([&] { return !server.errors.empty(); }));
    settle();
    EXPECT_FALSE(server.errorInsideListen);
    EXPECT_EQ(server.errors, std::vector<int32_t>{QAbstractSocket::AddressInUseError});
    EXPECT_EQ(server.errors.front(), 8);
}

TEST(ServerSocketErrors, OutOfRangePortIsReportedWithoutListening) {
    for (int32_t port : {70000, -1, 65536}) {
        TestServer server;
        server.SetPort(port);
        server.listenNow();
        EXPECT_TRUE(server.errors.empty()) << port;
        EXPECT_TRUE(waitUntil([&] { return server.errors.size() == 1; })) << port;
        EXPECT_FALSE(server.IsListening()) << port;
        EXPECT_FALSE(server.errorInsideListen);
    }
}

TEST(ServerSocket, StopListeningKeepsConnectionsAndListenAgainOnANewPort) {
    TestServer server;
    server.listenNow();
    auto client = clientSending(static_cast<quint16>(server.Port()), "before");
    ASSERT_TRUE(waitUntil([&] { return server.receiving("before") != nullptr; }));
    const auto oldPort = static_cast<quint16>(server.Port());
    server.StopListening();
    EXPECT_FALSE(server.IsListening());

    client->write("after");
    EXPECT_TRUE(waitUntil([&] { return server.receiving("beforeafter") != nullptr; }));
    QByteArray echoed;
    EXPECT_TRUE(waitUntil([&] { return (echoed += client->readAll()) == "beforeafter"; }));

    QTcpSocket refused;
    refused.connectToHost(QHostAddress(QHostAddress::LocalHost), oldPort);
    EXPECT_FALSE(refused.waitForConnected(5000));

    const quint16 newPort = freePort();
    server.SetPort(newPort);
    server.listenNow();
    ASSERT_TRUE(server.IsListening());
    EXPECT_EQ(server.Port(), newPort);
    auto late = clientSending(newPort, "late");
    EXPECT_TRUE(waitUntil([&] { return server.receiving("late") != nullptr; }));
    EXPECT_EQ(server.ActiveConnections(), 2);
    EXPECT_TRUE(server.errors.empty());
}

TEST(ServerSocket, ClientLeavingBeforeItsDataIsRead) {
    TestServer server;
    server.read = false;
    server.listenNow();
    auto client = clientSending(static_cast<quint16>(server.Port()), std::string(100000, 'x'));
    client->abort();
    client.reset();
    EXPECT_TRUE(waitUntil([&] { return server.added() == 1 && server.ActiveConnections() == 0; }));
    EXPECT_TRUE(waitUntil([&] { return server.sockets[0].isNull(); }));
}

// A waiting client may leave while Qt already holds it, before the server takes it over.
TEST(ServerSocket, WaitingClientThatLeftIsAcceptedAndDropped) {
    TestServer server;
    server.SetMaximumSocketsConnected(1);
    server.listenNow();
    const auto port = static_cast<quint16>(server.Port());
    auto first = clientSending(port, "first");
    auto gone = clientSending(port, "gone");
    gone->disconnectFromHost();
    gone.reset();
    ASSERT_TRUE(waitUntil([&] { return server.receiving("first") != nullptr; }));
    settle();
    EXPECT_EQ(server.added(), 1);
    first->disconnectFromHost();
    EXPECT_TRUE(waitUntil([&] { return server.added() == 2 && server.ActiveConnections() == 0; }));
    auto next = clientSending(port, "next");
    EXPECT_TRUE(waitUntil([&] { return server.receiving("next") != nullptr; }));
}

}  // namespace
