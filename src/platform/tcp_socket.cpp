#include "platform/tcp_socket.h"

#include "platform/exception_guard.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace platform {

TCPSocket::TCPSocket() = default;
TCPSocket::~TCPSocket() = default;

void TCPSocket::attach(QTcpSocket* connection) {
    connection_ = connection;
    connection_->setParent(this);
    connect(connection_, &QTcpSocket::readyRead, this, [this] { guarded([this] { Event_DataAvailable(); }); });
    connect(connection_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        // The peer closing its side is the normal end of a connection, not an error of ours.
        if (error != QAbstractSocket::RemoteHostClosedError) guarded([this] { Event_Error(); });
    });
    connect(connection_, &QTcpSocket::disconnected, this, &TCPSocket::ended);
    // A connection that waited for a free place may already hold its request; its arrival was
    // announced before anyone listened, so it is announced again.
    if (connection_->bytesAvailable() > 0)
        QMetaObject::invokeMethod(
            this,
            [this] {
                // An ordinary arrival may have read it meanwhile; an empty read is no request.
                if (connection_ && connection_->bytesAvailable() > 0) guarded([this] { Event_DataAvailable(); });
            },
            Qt::QueuedConnection);
}

std::string TCPSocket::ReadAll() {
    if (!connection_) return {};
    const QByteArray bytes = connection_->readAll();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

void TCPSocket::Write(std::string_view bytes) {
    if (!connection_ || connection_->state() != QAbstractSocket::ConnectedState) return;
    const auto size = static_cast<qint64>(bytes.size());
    if (connection_->bytesToWrite() + size > kMaximumWaitingOutput) {
        connection_->abort();
        emit ended();  // the owner lets go of it at most once, whichever signal comes first
        return;
    }
    connection_->write(bytes.data(), size);
}

std::string TCPSocket::LocalAddress() const {
    if (!connection_) return {};
    QHostAddress address = connection_->localAddress();
    // A dual-stack listener reports IPv4 peers as mapped IPv6 addresses; clients expect the IPv4 form.
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4) address = QHostAddress(ipv4);
    return address.toString().toStdString();
}

bool TCPSocket::IsConnected() const {
    return connection_ && connection_->state() == QAbstractSocket::ConnectedState;
}

}  // namespace platform
