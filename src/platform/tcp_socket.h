#pragma once
// A connection socket on an accepted descriptor, with the events the server handles as virtual
// operations. Output is a queue of whole answers, taken over without a copy and sent in pieces
// as the client takes them, so that a big answer never holds up the event loop. A client that
// shuts down its sending side keeps the connection until every answer promised to it is sent.
// A client that keeps reading is never cut off; one that takes nothing for a while it is owed
// bytes is. A connection owed much is not read until it owes less, and its owner may stop its
// reading too: TCP then holds the client back, and nothing it sent is lost.
// Main thread only: every call and event happens there, but for UnsentBytes. Other threads
// reach a connection only through a ConnectionRef, whose closed() alone they may call.

#include <QObject>
#include <QPointer>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>

class QSocketNotifier;
class QTimer;

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

    // A connection owed this many bytes or more is not read until it owes less: a client that
    // asks and does not read cannot make the server gather answers for it.
    static constexpr size_t kReadOnlyBelowOwed = size_t{1} << 20;
    // A connection owed bytes that takes none of them for this long is cut off.
    static constexpr std::chrono::milliseconds kMaximumIdle{60'000};
    static void SetMaximumIdle(std::chrono::milliseconds idle);  // for tests

    // Bytes of answers not yet wholly handed to the system, over every connection. Any thread.
    static size_t UnsentBytes();
    // Cuts off every connection owed bytes that has taken none of them for `idle`; how many.
    static int CutIdle(std::chrono::milliseconds idle);

    // For tests: the next arrival fails as if its buffer could not be had.
    static void FailNextReceive();

    std::string ReadAll();              // every byte received and not yet read
    void Write(std::string bytes);      // queued for sending in order; returns at once
    std::string LocalAddress() const;   // the server's own address on this connection
    bool IsConnected() const;

    // Stops reading this connection until released; a client that resets meanwhile is still
    // noticed (within a quarter second).
    void HoldInput(bool hold);
    bool InputHeld() const { return heldByOwner_; }

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
    // While the owner holds its input: raised with each look at the client, so that the owner
    // may release it.
    virtual void Event_InputHeld() {}

 private:
    enum class Ending { Orderly, Reset, Failed };
    void receive();
    void sendWaiting();
    void endWhenDone();
    void end(Ending how);
    void updateReading();
    void checkIdle();
    void probePeer();
    void forget(std::string bytes);

    int descriptor_ = -1;
    QSocketNotifier* reader_ = nullptr;  // children of this object
    QSocketNotifier* writer_ = nullptr;
    QTimer* idle_ = nullptr;          // cuts off a client that takes nothing for too long
    QTimer* probe_ = nullptr;         // while held by its owner: has the client gone?
    std::string input_;
    std::deque<std::string> output_;  // the front is the answer being sent
    size_t sentOfFront_ = 0;
    size_t owed_ = 0;                 // bytes of output_, the front's sent part included
    std::chrono::steady_clock::time_point lastTaken_;  // or since when it is owed bytes
    int promised_ = 0;
    bool inputEnded_ = false;
    bool heldByOwner_ = false;
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
    // The same for every reference to one connection, and never another's while one is held.
    const void* identity() const { return closed_.get(); }

 private:
    QPointer<TCPSocket> socket_;
    std::shared_ptr<const std::atomic<bool>> closed_;
};

}  // namespace platform
