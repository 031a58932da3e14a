#pragma once
// The listening socket over Qt's TCP server: it listens on every address of the machine, makes
// a connection socket for each client through Event_AddSocket, and while MaximumSocketsConnected
// connections are open it accepts no more (they wait in the backlog) until one ends. Near the
// process's descriptor limit it accepts no more either, and looks again a little later, so that
// catalogs, the log and the file-name search still get descriptors.
// Main thread only.

#include "platform/tcp_socket.h"

#include <QObject>
#include <QTcpServer>

#include <chrono>

class QSocketNotifier;
class QTimer;

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class ServerSocket : public QObject {
    Q_OBJECT
 public:
    ServerSocket();
    ~ServerSocket() override;
    ServerSocket(const ServerSocket&) = delete;
    ServerSocket& operator=(const ServerSocket&) = delete;

    int32_t Port() const;                     // the port listened on, else the one set
    void SetPort(int32_t port);
    int32_t MaximumSocketsConnected() const;
    void SetMaximumSocketsConnected(int32_t limit);  // applies at once, also while listening
    std::string LocalAddress() const;         // first non-loopback IPv4 address, else 127.0.0.1
    void Listen();                            // a failure is reported later through Event_Error
    void StopListening();                     // open connections stay open
    bool IsListening() const;
    int32_t ActiveConnections() const;

    // Descriptors left to the rest of the process: no connection is accepted into them.
    static constexpr int kSpareDescriptors = 32;
    // How long accepting pauses when the process is out of descriptors.
    static constexpr std::chrono::milliseconds kAcceptRetry{200};

 protected:
    virtual std::unique_ptr<TCPSocket> Event_AddSocket() = 0;
    virtual void Event_Error(int32_t code) = 0;

 private:
    void acceptWaiting();
    bool acceptOne();
    void connectionEnded(TCPSocket* socket);

    std::unique_ptr<QTcpServer> server_;
    QSocketNotifier* acceptor_ = nullptr;  // child of this object, on the listening descriptor
    QTimer* retry_ = nullptr;              // child of this object
    bool outOfDescriptors_ = false;
    uint64_t listenings_ = 0;              // grows with every stop, so that a round sees one
    int32_t port_ = 0;
    int32_t maximum_ = 10;
    std::vector<std::unique_ptr<TCPSocket>> connections_;
};

}  // namespace platform
