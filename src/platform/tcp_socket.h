#pragma once
// A connection socket on an accepted descriptor, with the events the server handles as virtual
// operations. Output is a queue of whole answers, taken over without a copy and sent in pieces
// as the client takes them, so that a big answer never holds up the event loop. A client that
// shuts down its sending side keeps the connection until every answer promised to it is sent.
// A client that keeps reading is never cut off; one that takes nothing for a while it is owed
// bytes is. While a connection is owed much, or its owner holds it, what arrives is kept, each
// arrival apart, and handed on in order once the hold ends; only when too much is kept is the
// connection no longer read: TCP then holds the client back, and nothing it sent is lost.
// Main thread only: every call and event happens there, but for UnsentBytes, CountUnsent,
// UncountUnsent and the failure hooks of tests. Other threads reach a connection only through a
// ConnectionRef, whose closed() alone they may call.

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

    // A connection owed this many bytes or more hands on no arrival until it owes less: a client
    // that asks and does not read cannot make the server gather answers for it.
    static constexpr size_t kReadOnlyBelowOwed = size_t{1} << 20;
    // Arrivals kept back on one connection, and on all together, past which it is not read (each
    // counted with the memory it takes).
    static constexpr size_t kMaximumWaiting = size_t{8} << 20;
    static constexpr size_t kMaximumWaitingInAll = size_t{64} << 20;
    static void SetMaximumWaiting(size_t perConnection, size_t inAll);  // for tests
    // A connection owed bytes that takes none of them for this long is cut off.
    static constexpr std::chrono::milliseconds kMaximumIdle{60'000};
    static void SetMaximumIdle(std::chrono::milliseconds idle);  // for tests

    // Bytes of answers not yet wholly handed to the system, over every connection. Any thread.
    static size_t UnsentBytes();
    // An answer on its way to a connection from another thread is counted from before it is sent
    // on its way, so that nobody builds one more in the belief that there is room. Any thread.
    static void CountUnsent(size_t bytes);
    static void UncountUnsent(size_t bytes);
    // Cuts off every connection owed bytes that has taken none of them for `idle`, or less than
    // `atLeast` in a stretch of `idle` or more; how many.
    static int CutIdle(std::chrono::milliseconds idle, size_t atLeast = 0);

    // For tests: the next arrival fails as if its buffer could not be had.
    static void FailNextReceive();
    // For tests: the next big answer freed cannot go to the thread that frees them.
    static void FailNextRelease();

    std::string ReadAll();              // the arrival being handed on
    void Write(std::string bytes);      // queued for sending in order; returns at once
    std::string LocalAddress() const;   // the server's own address on this connection
    bool IsConnected() const;

    // Hands on no arrival until released (they are kept, each apart); a client that resets
    // meanwhile is still noticed (within a quarter second).
    void HoldInput(bool hold);
    bool InputHeld() const { return heldByOwner_; }

    // An answer the connection is owed later (a queued search): a client that has shut down its
    // sending side keeps the connection until the promised answers have been written.
    // `counted`: its bytes are in UnsentBytes already (CountUnsent), and now become this
    // connection's. An empty answer only ends the promise.
    void PromiseAnswer();
    void WritePromised(std::string answer, bool counted = false);

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
    void handOn(std::string bytes);
    void handOnWaiting();
    bool handingOnHeld() const;
    void sendWaiting();
    void enqueueOutput(std::string bytes, bool counted);
    void endWhenDone();
    void end(Ending how);
    void updateReading();
    void checkIdle();
    // What the client's side has taken of all that was sent: what the system no longer holds.
    size_t delivered() const;
    void lookAtDelivered(std::chrono::steady_clock::time_point now);
    void probePeer();
    void forget(std::string bytes);
    void dropWaiting();
    // Takes kept arrivals' memory off this connection's count and the total.
    void uncountWaiting(size_t taken);

    int descriptor_ = -1;
    QSocketNotifier* reader_ = nullptr;  // children of this object
    QSocketNotifier* writer_ = nullptr;
    QTimer* idle_ = nullptr;          // cuts off a client that takes nothing for too long
    QTimer* probe_ = nullptr;         // while held or not read: has the client gone?
    QTimer* resume_ = nullptr;        // hands on kept arrivals once the hold has ended
    std::string input_;
    std::deque<std::string> waiting_;  // arrivals kept while held, oldest first
    size_t waitingBytes_ = 0;          // the memory they take
    std::deque<std::string> output_;  // the front is the answer being sent
    size_t sentOfFront_ = 0;
    size_t owed_ = 0;                 // bytes of output_, the front's sent part included
    // A slow reader frees the system's buffers long before this process may send again: what it
    // took is judged by what left the system's buffers, not only by what was sent.
    std::chrono::steady_clock::time_point lastTaken_;  // or since when it is owed bytes
    std::chrono::steady_clock::time_point stretchStart_;  // what it took since then: takenInStretch_
    size_t takenInStretch_ = 0;
    size_t sentTotal_ = 0;      // bytes handed to the system, ever
    size_t lastDelivered_ = 0;  // delivered() when last looked at
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
