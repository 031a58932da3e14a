#pragma once
// A connection socket over Qt's TCP socket, with the events the server handles as virtual
// operations. Lives on the main thread: every call and event happens there; other threads
// reach a connection only through a guarded queued call.

#include <QObject>
#include <QPointer>

#include <string>
#include <string_view>

class QTcpSocket;

namespace platform {

class TCPSocket : public QObject {
    Q_OBJECT
 public:
    TCPSocket();
    ~TCPSocket() override;
    TCPSocket(const TCPSocket&) = delete;
    TCPSocket& operator=(const TCPSocket&) = delete;

    // Takes over an accepted connection (the socket becomes a child of this object).
    void attach(QTcpSocket* connection);

    // Output may wait on a connection up to this many bytes; a client that reads nothing while
    // it asks for more is cut off rather than let it fill the server's memory.
    static constexpr qint64 kMaximumWaitingOutput = 64 * 1024 * 1024;

    std::string ReadAll();                  // every byte received and not yet read
    void Write(std::string_view bytes);     // queued for sending in order; returns at once
    std::string LocalAddress() const;       // the server's own address on this connection
    bool IsConnected() const;

 signals:
    void ended();                           // the peer or the network ended the connection

 protected:
    virtual void Event_DataAvailable() {}
    virtual void Event_Error() {}

 private:
    QTcpSocket* connection_ = nullptr;
};

// A reference to a connection that becomes empty when the connection is gone.
using ConnectionRef = QPointer<TCPSocket>;

}  // namespace platform
