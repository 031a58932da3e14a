#include "platform/server_socket.h"

#include "platform/exception_guard.h"

#include <QNetworkInterface>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace platform {

ServerSocket::ServerSocket() {
    // Take one connection at a time off the kernel's queue, so that clients beyond the limit
    // wait there rather than in ours.
    server_.setMaxPendingConnections(1);
    connect(&server_, &QTcpServer::newConnection, this, [this] { acceptWaiting(); });
}

ServerSocket::~ServerSocket() = default;

int32_t ServerSocket::Port() const {
    return server_.isListening() ? static_cast<int32_t>(server_.serverPort()) : port_;
}

void ServerSocket::SetPort(int32_t port) { port_ = port; }

int32_t ServerSocket::MaximumSocketsConnected() const { return maximum_; }

void ServerSocket::SetMaximumSocketsConnected(int32_t limit) {
    maximum_ = limit;
    acceptWaiting();
}

std::string ServerSocket::LocalAddress() const {
    // Use the first non-localhost IPv4 address, as clients on other machines would see it.
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address.toString().toStdString();
    }
    return "127.0.0.1";
}

void ServerSocket::Listen() {
    if (server_.isListening()) server_.close();
    const bool portInRange = port_ >= 0 && port_ <= 65535;
    if (portInRange && server_.listen(QHostAddress::Any, static_cast<quint16>(port_))) {
        acceptWaiting();
        return;
    }
    const int32_t code = portInRange ? static_cast<int32_t>(server_.serverError())
                                     : static_cast<int32_t>(QAbstractSocket::UnsupportedSocketOperationError);
    // The old platform reported listening failures as a later event, never inside Listen.
    QTimer::singleShot(0, this, [this, code] { guarded([this, code] { Event_Error(code); }); });
}

void ServerSocket::StopListening() { server_.close(); }

bool ServerSocket::IsListening() const { return server_.isListening(); }

int32_t ServerSocket::ActiveConnections() const { return static_cast<int32_t>(connections_.size()); }

void ServerSocket::acceptWaiting() {
    while (server_.hasPendingConnections() && ActiveConnections() < maximum_) {
        QTcpSocket* connection = server_.nextPendingConnection();
        std::unique_ptr<TCPSocket> socket;
        guarded([&] { socket = Event_AddSocket(); });
        if (!socket) {
            connection->abort();
            connection->deleteLater();
            continue;
        }
        TCPSocket* raw = socket.get();
        socket->attach(connection);
        connect(raw, &TCPSocket::ended, this, [this, raw] { connectionEnded(raw); }, Qt::QueuedConnection);
        connections_.push_back(std::move(socket));
        // A peer may have closed before we attached; its end signal has then been missed.
        if (connection->state() != QAbstractSocket::ConnectedState)
            QTimer::singleShot(0, this, [this, raw] { connectionEnded(raw); });
    }
    // Qt's pause and resume need a listening socket.
    if (!server_.isListening()) return;
    if (ActiveConnections() >= maximum_)
        server_.pauseAccepting();
    else
        server_.resumeAccepting();
}

void ServerSocket::connectionEnded(TCPSocket* socket) {
    const auto it = std::find_if(connections_.begin(), connections_.end(),
                                 [socket](const auto& owned) { return owned.get() == socket; });
    if (it == connections_.end()) return;
    // Data that arrived just before the end is still handled: the socket goes later, not now.
    it->release()->deleteLater();
    connections_.erase(it);
    acceptWaiting();
}

}  // namespace platform
