#include "platform/server_socket.h"

#include "platform/exception_guard.h"

#include <QNetworkInterface>
#include <QTcpSocket>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <utility>

namespace platform {

namespace {

// Keeps an accepted descriptor in Qt's queue of pending connections, whose length is what stops
// Qt from accepting more, while no Qt socket ever reads from it or closes it at the client's end
// of input: the connection socket works on the descriptor itself.
class AcceptedDescriptor final : public QTcpSocket {
 public:
    AcceptedDescriptor(qintptr descriptor, QObject* parent) : QTcpSocket(parent), descriptor_(descriptor) {}
    ~AcceptedDescriptor() override {
        if (descriptor_ >= 0) ::close(static_cast<int>(descriptor_));
    }
    int take() { return static_cast<int>(std::exchange(descriptor_, -1)); }

 private:
    qintptr descriptor_;
};

class Listener final : public QTcpServer {
 protected:
    void incomingConnection(qintptr descriptor) override {
        addPendingConnection(new AcceptedDescriptor(descriptor, this));
    }
};

}  // namespace

ServerSocket::ServerSocket() : server_(std::make_unique<Listener>()) {
    // Take one connection at a time off the kernel's queue, so that clients beyond the limit
    // wait there rather than in ours.
    server_->setMaxPendingConnections(1);
    connect(server_.get(), &QTcpServer::newConnection, this, [this] { acceptWaiting(); });
}

ServerSocket::~ServerSocket() = default;

int32_t ServerSocket::Port() const {
    return server_->isListening() ? static_cast<int32_t>(server_->serverPort()) : port_;
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
    if (server_->isListening()) server_->close();
    const bool portInRange = port_ >= 0 && port_ <= 65535;
    if (portInRange && server_->listen(QHostAddress::Any, static_cast<quint16>(port_))) {
        acceptWaiting();
        return;
    }
    const int32_t code = portInRange ? static_cast<int32_t>(server_->serverError())
                                     : static_cast<int32_t>(QAbstractSocket::UnsupportedSocketOperationError);
    // A failure is a later event, never raised inside Listen, so the caller finishes what it does
    // after Listen before the failure's handler runs.
    QTimer::singleShot(0, this, [this, code] { guarded([this, code] { Event_Error(code); }); });
}

void ServerSocket::StopListening() { server_->close(); }

bool ServerSocket::IsListening() const { return server_->isListening(); }

int32_t ServerSocket::ActiveConnections() const { return static_cast<int32_t>(connections_.size()); }

void ServerSocket::acceptWaiting() {
    while (server_->hasPendingConnections() && ActiveConnections() < maximum_) {
        // Deleting the holder closes the descriptor unless a connection socket took it.
        const std::unique_ptr<QTcpSocket> accepted(server_->nextPendingConnection());
        std::unique_ptr<TCPSocket> socket;
        guarded([&] { socket = Event_AddSocket(); });
        if (!socket) continue;
        TCPSocket* raw = socket.get();
        socket->attach(static_cast<AcceptedDescriptor*>(accepted.get())->take());
        connect(raw, &TCPSocket::ended, this, [this, raw] { connectionEnded(raw); }, Qt::QueuedConnection);
        connections_.push_back(std::move(socket));
    }
    // Qt's pause and resume need a listening socket.
    if (!server_->isListening()) return;
    if (ActiveConnections() >= maximum_)
        server_->pauseAccepting();
    else
        server_->resumeAccepting();
}

void ServerSocket::connectionEnded(TCPSocket* socket) {
    const auto it = std::find_if(connections_.begin(), connections_.end(),
                                 [socket](const auto& owned) { return owned.get() == socket; });
    if (it == connections_.end()) return;
    // It may be ending inside one of its own events: it goes later, not now.
    it->release()->deleteLater();
    connections_.erase(it);
    acceptWaiting();
}

}  // namespace platform
