#include "platform/server_socket.h"

#include "platform/exception_guard.h"

#include <QNetworkInterface>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace platform {

namespace {

// Whether a connection may take a descriptor: descriptors are handed out lowest first, so when
// the lowest free one is among the last kSpareDescriptors, the process has about that many left.
bool descriptorsToSpare(int listening) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
    const int lowest = ::fcntl(listening, F_DUPFD_CLOEXEC, 0);
    if (lowest < 0) return false;
    ::close(lowest);
    return static_cast<rlim_t>(lowest) + ServerSocket::kSpareDescriptors < limit.rlim_cur;
}

}  // namespace

ServerSocket::ServerSocket() : server_(std::make_unique<QTcpServer>()), retry_(new QTimer(this)) {
    retry_->setSingleShot(true);
    connect(retry_, &QTimer::timeout, this, [this] {
        guarded([this] {
            outOfDescriptors_ = false;
            acceptWaiting();
        });
    });
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
    StopListening();
    const bool portInRange = port_ >= 0 && port_ <= 65535;
    if (portInRange && server_->listen(QHostAddress::Any, static_cast<quint16>(port_))) {
        // Qt only listens; this object accepts, one connection at a time and only while there is
        // room, so that clients beyond the limit wait in the kernel's queue rather than in ours.
        server_->pauseAccepting();
        acceptor_ = new QSocketNotifier(server_->socketDescriptor(), QSocketNotifier::Read, this);
        connect(acceptor_, &QSocketNotifier::activated, this, [this] { guarded([this] { acceptWaiting(); }); });
        acceptWaiting();
        return;
    }
    const int32_t code = portInRange ? static_cast<int32_t>(server_->serverError())
                                     : static_cast<int32_t>(QAbstractSocket::UnsupportedSocketOperationError);
    // A failure is a later event, never raised inside Listen, so the caller finishes what it does
    // after Listen before the failure's handler runs.
    QTimer::singleShot(0, this, [this, code] { guarded([this, code] { Event_Error(code); }); });
}

void ServerSocket::StopListening() {
    ++listenings_;
    if (acceptor_) {
        // It may be the one whose signal runs now: it goes later, never to fire again.
        acceptor_->setEnabled(false);
        acceptor_->deleteLater();
        acceptor_ = nullptr;
    }
    retry_->stop();
    outOfDescriptors_ = false;
    server_->close();
}

bool ServerSocket::IsListening() const { return server_->isListening(); }

int32_t ServerSocket::ActiveConnections() const { return static_cast<int32_t>(connections_.size()); }

void ServerSocket::acceptWaiting() {
    if (!acceptor_) return;
    // Making a connection may show the out-of-memory box, whose own event loop may stop the
    // listening (a quit, a new port): this round is then over, and a new listening has its own.
    const uint64_t round = listenings_;
    const int listening = static_cast<int>(server_->socketDescriptor());
    while (ActiveConnections() < maximum_ && !outOfDescriptors_) {
        if (!descriptorsToSpare(listening)) {
            outOfDescriptors_ = true;
            break;
        }
        const bool more = acceptOne();
        if (!acceptor_ || round != listenings_) return;
        if (!more) break;
    }
    // Out of descriptors the listening socket stays readable: waiting for it would spin.
    if (outOfDescriptors_ && !retry_->isActive()) retry_->start(kAcceptRetry);
    acceptor_->setEnabled(ActiveConnections() < maximum_ && !outOfDescriptors_);
}

// False when nothing more can be accepted now.
bool ServerSocket::acceptOne() {
    const int descriptor = ::accept4(static_cast<int>(server_->socketDescriptor()), nullptr, nullptr, SOCK_CLOEXEC);
    if (descriptor < 0) {
        switch (errno) {
            case EINTR:
            case ECONNABORTED:
            case EPROTO:
                return true;  // that client is gone; the next may be there
            case EMFILE:
            case ENFILE:
            case ENOBUFS:
            case ENOMEM:
                outOfDescriptors_ = true;
                return false;
            default:
                return false;  // none waiting
        }
    }
    std::unique_ptr<TCPSocket> socket;
    guarded([&] { socket = Event_AddSocket(); });
    if (!socket) {
        ::close(descriptor);
        return true;
    }
    socket->attach(descriptor);  // from here the socket closes it, also when what follows fails
    TCPSocket* raw = socket.get();
    connections_.push_back(std::move(socket));
    connect(raw, &TCPSocket::ended, this, [this, raw] { guarded([this, raw] { connectionEnded(raw); }); },
            Qt::QueuedConnection);
    return true;
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
