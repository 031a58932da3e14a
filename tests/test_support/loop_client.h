#pragma once
// A loopback client whose every wait processes events, so that the server it talks to may run
// in the test's own process; and probes of loopback ports. Belongs to the thread that made it.

#include "test_support/waiting.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <string_view>

namespace test_support {

class LoopClient {
 public:
    explicit LoopClient(int port) { socket_.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port)); }

    bool connected() {
        waitFor([this] {
            return state() != QAbstractSocket::HostLookupState && state() != QAbstractSocket::ConnectingState;
        });
        return state() == QAbstractSocket::ConnectedState;
    }
    // Returns once the bytes are with the system, or the connection is over.
    void send(std::string_view bytes) {
        socket_.write(bytes.data(), static_cast<qint64>(bytes.size()));
        waitFor([this] { return socket_.bytesToWrite() == 0 || ended(); });
    }
    // What came so far, once it holds at least `atLeast` bytes (or `end`) or the connection is over.
    const std::string& read(size_t atLeast) {
        waitFor([&] { return take().size() >= atLeast || ended(); });
        return received_;
    }
    const std::string& readUntil(std::string_view end) {
        waitFor([&] { return take().find(end) != std::string::npos || ended(); });
        return received_;
    }
    // What came by the end of the period, for what must not come.
    std::string readFor(std::chrono::milliseconds period) {
        settle(period);
        return take();
    }
    void halfClose() { ::shutdown(static_cast<int>(socket_.socketDescriptor()), SHUT_WR); }
    // Leaves; a reset drops whatever either side has not read yet.
    void close(bool reset = false) {
        const linger abortive{1, 0};
        const int fd = static_cast<int>(socket_.socketDescriptor());
        if (reset) ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        socket_.abort();
    }
    bool ended() const { return state() == QAbstractSocket::UnconnectedState; }

 private:
    QAbstractSocket::SocketState state() const { return socket_.state(); }
    const std::string& take() { return received_ += socket_.readAll().toStdString(); }

    QTcpSocket socket_;
    std::string received_;
};

inline int freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

inline bool portIsFree(int port) { return QTcpServer().listen(QHostAddress::Any, static_cast<quint16>(port)); }

inline bool listening(int port) { return LoopClient(port).connected(); }

}  // namespace test_support
