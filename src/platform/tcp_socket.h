#pragma once
// A connection socket on an accepted descriptor, with the events the server handles as virtual
// operations. Output is a queue of whole answers, taken over without a copy and sent in pieces
// as the client takes them, so that a big answer never holds up the event loop. A client that
// shuts down its sending side keeps the connection until every answer promised to it is sent.
// Main thread only: every call and event happens there. Other threads reach a connection only
// through a ConnectionRef, whose closed() alone they may call.

#include <QObject>
#include <QPointer>

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>

class QSocketNotifier;

namespace platform {

class TCPSocket : public QObject {
    Q_OBJECT
 public:
    TCPSocket();
    ~TCPSocket() override;
    TCPSocket(const TCPSocket&) = delete;
    TCPSocket& operator=(const TCPSocket&) = delete;

    // Takes over an accepted connection; the descriptor is closed with this object.
    void attach(int descriptor);

    // Answers waiting behind the one being sent may hold up to this many bytes; a client that
    // asks for more while it does not read is cut off. The answer being sent never counts, so a
    // reading client gets answers of any size, and a client that stops reading holds at most
    // one answer and this much besides, however long it stays. A bound of idle time instead
    // would let such a client gather whatever the worker builds for it until the time is up.
    static constexpr size_t kMaximumWaitingOutput = size_t{64} << 20;

    std::string ReadAll();              // every byte received and not yet read
    void Write(std::string bytes);      // queued for sending in order; returns at once
    std::string LocalAddress() const;   // the server's own address on this connection
    bool IsConnected() const;

    // An answer the connection is owed later (a queued search): a client that has shut down its
    // sending side keeps the connection until the promised answers have been written.
    void PromiseAnswer();
    void WritePromised(std::string answer);

    // True once the connection can take no more output: reset or failed, cut off, or ended by
    // the server. A client that only shut down its sending side is not closed. Any thread.
    std::shared_ptr<const std::atomic<bool>> closedState() const { return closed_; }

 signals:
    void ended();  // the connection is closed; emitted once

 protected:
    virtual void Event_DataAvailable() {}
    virtual void Event_Error() {}

 private:
    enum class Ending { Orderly, Reset, Failed };
    void receive();
    void sendWaiting();
    void endWhenDone();
    void end(Ending how);

    int descriptor_ = -1;
    QSocketNotifier* reader_ = nullptr;  // children of this object
    QSocketNotifier* writer_ = nullptr;
    std::string input_;
    std::deque<std::string> output_;  // the front is the answer being sent
    size_t sentOfFront_ = 0;
    size_t waitingBehind_ = 0;        // bytes of output_ after the front
    int promised_ = 0;
    bool inputEnded_ = false;
    std::shared_ptr<std::atomic<bool>> closed_ = std::make_shared<std::atomic<bool>>(false);
};

// A queued answer's hold on its connection. Made, dereferenced and tested for the object on the
// main thread; copied and asked closed() on any thread.
class ConnectionRef {
 public:
    ConnectionRef() = default;
    explicit ConnectionRef(TCPSocket* socket) : socket_(socket), closed_(socket->closedState()) {}

    explicit operator bool() const { return !socket_.isNull(); }  // the object still exists
    TCPSocket* operator->() const { return socket_.data(); }
    bool closed() const { return !closed_ || closed_->load(); }

 private:
    QPointer<TCPSocket> socket_;
    std::shared_ptr<const std::atomic<bool>> closed_;
};

}  // namespace platform
