#include "platform/tcp_socket.h"

#include "platform/exception_guard.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace platform {

namespace {

// One turn of the event loop sends at most this much to one connection, so that a client that
// takes a big answer as fast as loopback allows still leaves the loop to everyone else.
constexpr size_t kSendPerTurn = size_t{512} << 10;

// At least this much is asked of a read, so that the end of the client's input shows.
constexpr int kSmallestRead = 4096;

// Freeing a big answer hands its pages back to the system, which takes milliseconds for tens of
// megabytes: a thread of its own does it, so that the event loop never waits for that.
class Releaser {
 public:
    static constexpr size_t kBig = size_t{1} << 20;

    ~Releaser() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

    // Throws when the thread cannot start or the list cannot grow; the bytes are then still the
    // caller's.
    void release(std::string& bytes) {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        waiting_.push_back(std::move(bytes));
        wake_.notify_one();
    }

 private:
    void run() {
        std::unique_lock lock(mutex_);
        while (true) {
            wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (waiting_.empty()) return;
            std::vector<std::string> freed;
            freed.swap(waiting_);
            lock.unlock();
            freed.clear();
            lock.lock();
        }
    }

    std::mutex mutex_;  // guards waiting_, stopping_ and the start of thread_
    std::condition_variable wake_;
    std::vector<std::string> waiting_;
    bool stopping_ = false;
    std::thread thread_;
};

std::atomic<bool> failNextRelease{false};

// Never fails: bytes the helper cannot take are freed here, when `bytes` goes.
void release(std::string bytes) noexcept {
    if (bytes.capacity() < Releaser::kBig) return;
    try {
        if (failNextRelease.exchange(false)) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        static Releaser releaser;
        releaser.release(bytes);
    } catch (...) {
    }
}

// Kept arrivals handed on in one turn of the event loop, so that a long list of small ones still
// leaves the loop to everyone else.
constexpr int kHandOnPerTurn = 64;

// A client the server holds back is looked at this often, so that one that has gone is noticed.
constexpr std::chrono::milliseconds kProbeEvery{250};

using Clock = std::chrono::steady_clock;

std::atomic<size_t> unsentTotal{0};
size_t waitingInAll = 0;  // memory of the arrivals kept on every connection; main thread
size_t maximumWaiting = TCPSocket::kMaximumWaiting;            // main thread
size_t maximumWaitingInAll = TCPSocket::kMaximumWaitingInAll;  // main thread
std::atomic<bool> failNextReceive{false};
std::chrono::milliseconds maximumIdle = TCPSocket::kMaximumIdle;  // main thread
std::vector<TCPSocket*> liveSockets;                                // main thread

}  // namespace

TCPSocket::TCPSocket() { liveSockets.push_back(this); }

TCPSocket::~TCPSocket() {
    std::erase(liveSockets, this);
    dropWaiting();
    unsentTotal -= owed_;
    closed_->store(true);
    if (descriptor_ >= 0) ::close(descriptor_);
}

void TCPSocket::SetMaximumIdle(std::chrono::milliseconds idle) { maximumIdle = idle; }

void TCPSocket::SetMaximumWaiting(size_t perConnection, size_t inAll) {
    maximumWaiting = perConnection;
    maximumWaitingInAll = inAll;
}

size_t TCPSocket::UnsentBytes() { return unsentTotal.load(); }

void TCPSocket::CountUnsent(size_t bytes) { unsentTotal += bytes; }

void TCPSocket::UncountUnsent(size_t bytes) { unsentTotal -= bytes; }

void TCPSocket::FailNextReceive() { failNextReceive = true; }

void TCPSocket::FailNextRelease() { failNextRelease = true; }

int TCPSocket::CutIdle(std::chrono::milliseconds idle, size_t atLeast) {
    const auto now = Clock::now();
    int cut = 0;
    // end() never removes a socket from the list: only its destructor does, later.
    for (size_t i = 0; i < liveSockets.size(); ++i) {
        TCPSocket* socket = liveSockets[i];
        if (socket->output_.empty()) continue;
        socket->lookAtDelivered(now);
        bool tooLittle = now - socket->lastTaken_ >= idle;
        // A stretch is judged once it is long enough; one that passes starts the next.
        if (!tooLittle && atLeast > 0 && now - socket->stretchStart_ >= idle) {
            tooLittle = socket->takenInStretch_ < atLeast;
            socket->stretchStart_ = now;
            socket->takenInStretch_ = 0;
        }
        if (!tooLittle) continue;
        socket->end(Ending::Reset);
        ++cut;
    }
    return cut;
}

void TCPSocket::attach(int descriptor) {
    descriptor_ = descriptor;
    ::fcntl(descriptor_, F_SETFL, ::fcntl(descriptor_, F_GETFL) | O_NONBLOCK);
    reader_ = new QSocketNotifier(descriptor_, QSocketNotifier::Read, this);
    writer_ = new QSocketNotifier(descriptor_, QSocketNotifier::Write, this);
    writer_->setEnabled(false);
    idle_ = new QTimer(this);
    idle_->setSingleShot(true);
    probe_ = new QTimer(this);
    probe_->setInterval(kProbeEvery);
    resume_ = new QTimer(this);
    resume_->setSingleShot(true);
    resume_->setInterval(0);
    // A connection that waited for a free place may hold its request already: the notifier
    // reports it at once, as it reports any arrival. Nothing that fails in these handlers (an
    // allocation, say) may leave them: it goes to the application's handler.
    connect(reader_, &QSocketNotifier::activated, this, [this] { guarded([this] { receive(); }); });
    connect(writer_, &QSocketNotifier::activated, this, [this] { guarded([this] { sendWaiting(); }); });
    connect(idle_, &QTimer::timeout, this, [this] { guarded([this] { checkIdle(); }); });
    connect(probe_, &QTimer::timeout, this, [this] { guarded([this] { probePeer(); }); });
    connect(resume_, &QTimer::timeout, this, [this] { guarded([this] { handOnWaiting(); }); });
}

void TCPSocket::receive() {
    // Before anything is taken from the system: a failed arrival is read again on the next turn.
    if (failNextReceive.exchange(false)) throw std::bad_alloc();
    int available = 0;
    ::ioctl(descriptor_, FIONREAD, &available);
    std::string bytes(static_cast<size_t>(std::max(available, kSmallestRead)), '\0');
    // Behind a hold, or behind arrivals kept already, this one is kept too, so that each stays
    // one request and all are handed on in order. Its place is made before anything is taken.
    const bool keep = handingOnHeld() || !waiting_.empty();
    if (keep) waiting_.emplace_back();
    ssize_t n;
    do n = ::recv(descriptor_, bytes.data(), bytes.size(), 0);
    while (n < 0 && errno == EINTR);
    if (keep && n <= 0) waiting_.pop_back();
    if (n > 0) {
        // Once the bytes are taken from the system nothing more is allocated for them (the
        // shrink of a kept one gives up quietly when it cannot).
        bytes.resize(static_cast<size_t>(n));
        if (!keep) {
            handOn(std::move(bytes));
            return;
        }
        bytes.shrink_to_fit();
        const size_t taken = bytes.capacity() + sizeof bytes;
        waiting_.back() = std::move(bytes);
        waitingBytes_ += taken;
        waitingInAll += taken;
        updateReading();
    } else if (n == 0) {
        // The client has shut down its sending side; it may still wait for answers.
        inputEnded_ = true;
        reader_->setEnabled(false);
        endWhenDone();
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        end(Ending::Failed);
    }
}

void TCPSocket::handOn(std::string bytes) {
    if (input_.empty())
        input_ = std::move(bytes);
    else
        input_.append(bytes);
    guarded([this] { Event_DataAvailable(); });
}

bool TCPSocket::handingOnHeld() const { return heldByOwner_ || owed_ >= kReadOnlyBelowOwed; }

void TCPSocket::handOnWaiting() {
    for (int handed = 0; descriptor_ >= 0 && !waiting_.empty() && !handingOnHeld(); ++handed) {
        if (handed == kHandOnPerTurn) {
            resume_->start();
            break;
        }
        std::string bytes = std::move(waiting_.front());
        waiting_.pop_front();
        uncountWaiting(bytes.capacity() + sizeof bytes);
        handOn(std::move(bytes));
    }
    updateReading();
    endWhenDone();
}

void TCPSocket::uncountWaiting(size_t taken) {
    const bool wasFull = waitingInAll >= maximumWaitingInAll;
    waitingBytes_ -= taken;
    waitingInAll -= taken;
    // Connections paused for the others' arrivals may be read again.
    if (wasFull && waitingInAll < maximumWaitingInAll)
        for (TCPSocket* socket : liveSockets)
            if (socket != this) socket->updateReading();
}

void TCPSocket::dropWaiting() {
    uncountWaiting(waitingBytes_);
    waiting_.clear();
}

std::string TCPSocket::ReadAll() { return std::exchange(input_, {}); }

void TCPSocket::Write(std::string bytes) { enqueueOutput(std::move(bytes), false); }

void TCPSocket::enqueueOutput(std::string bytes, bool counted) {
    const size_t size = bytes.size();
    if (descriptor_ < 0 || bytes.empty()) {
        if (counted) unsentTotal -= size;
        return;
    }
    try {
        output_.push_back(std::move(bytes));
    } catch (...) {
        if (counted) unsentTotal -= size;
        throw;
    }
    owed_ += size;
    if (!counted) unsentTotal += size;
    if (output_.size() == 1) {
        lastTaken_ = stretchStart_ = Clock::now();
        takenInStretch_ = 0;
        lastDelivered_ = delivered();
        idle_->start(maximumIdle);
        sendWaiting();
    }
    updateReading();
}

void TCPSocket::sendWaiting() {
    size_t budget = kSendPerTurn;
    while (!output_.empty() && budget > 0) {
        const std::string& front = output_.front();
        const size_t size = std::min(front.size() - sentOfFront_, budget);
        const ssize_t n = ::send(descriptor_, front.data() + sentOfFront_, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n < 0) {
            end(Ending::Failed);
            return;
        }
        lastTaken_ = Clock::now();
        sentTotal_ += static_cast<size_t>(n);
        budget -= static_cast<size_t>(n);
        sentOfFront_ += static_cast<size_t>(n);
        if (sentOfFront_ < front.size()) continue;
        // Its memory goes as soon as the kernel holds all of it.
        std::string done = std::move(output_.front());
        output_.pop_front();
        sentOfFront_ = 0;
        forget(std::move(done));
    }
    writer_->setEnabled(!output_.empty());
    if (output_.empty()) idle_->stop();
    updateReading();
    endWhenDone();
}

void TCPSocket::forget(std::string bytes) {
    owed_ -= bytes.size();
    unsentTotal -= bytes.size();
    release(std::move(bytes));
}

void TCPSocket::updateReading() {
    if (descriptor_ < 0) return;
    const bool paused = waitingBytes_ >= maximumWaiting || (!waiting_.empty() && waitingInAll >= maximumWaitingInAll);
    reader_->setEnabled(!inputEnded_ && !paused);
    // Not read, a client that resets shows only to a look at it.
    const bool probing = heldByOwner_ || (paused && !inputEnded_);
    if (probing && !probe_->isActive()) probe_->start();
    if (!probing) probe_->stop();
    if (!waiting_.empty() && !handingOnHeld() && !resume_->isActive()) resume_->start();
}

void TCPSocket::HoldInput(bool hold) {
    heldByOwner_ = hold;
    updateReading();
}

void TCPSocket::probePeer() {
    if (descriptor_ < 0) return;
    pollfd state{descriptor_, 0, 0};
    // A reset shows as an error or a hang-up; a client that only stopped sending shows neither.
    if (::poll(&state, 1, 0) == 1 && (state.revents & (POLLERR | POLLHUP)))
        end(Ending::Failed);
    else if (heldByOwner_)
        Event_InputHeld();
}

size_t TCPSocket::delivered() const {
    int queued = 0;
    if (descriptor_ < 0 || ::ioctl(descriptor_, SIOCOUTQ, &queued) != 0 || queued < 0) return lastDelivered_;
    return sentTotal_ - std::min(sentTotal_, static_cast<size_t>(queued));
}

void TCPSocket::lookAtDelivered(Clock::time_point now) {
    const size_t delivered = this->delivered();
    if (delivered <= lastDelivered_) return;
    lastTaken_ = now;
    takenInStretch_ += delivered - lastDelivered_;
    lastDelivered_ = delivered;
}

void TCPSocket::checkIdle() {
    if (descriptor_ < 0 || output_.empty()) return;
    lookAtDelivered(Clock::now());
    const auto idleFor = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastTaken_);
    if (idleFor >= maximumIdle)
        end(Ending::Reset);
    else
        idle_->start(maximumIdle - idleFor + std::chrono::milliseconds(1));
}

void TCPSocket::PromiseAnswer() { ++promised_; }

void TCPSocket::WritePromised(std::string answer, bool counted) {
    if (promised_ > 0) --promised_;
    try {
        enqueueOutput(std::move(answer), counted);
    } catch (...) {
        endWhenDone();
        throw;
    }
    endWhenDone();
}

void TCPSocket::endWhenDone() {
    if (descriptor_ >= 0 && inputEnded_ && waiting_.empty() && output_.empty() && promised_ == 0) end(Ending::Orderly);
}

void TCPSocket::end(Ending how) {
    if (descriptor_ < 0) return;
    if (how == Ending::Failed) guarded([this] { Event_Error(); });
    // A client cut off reads nothing, so what the kernel still holds for it is dropped at once.
    if (how == Ending::Reset) {
        const linger abortive{1, 0};
        ::setsockopt(descriptor_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    // The notifiers stay (disabled) until this object goes: this may run inside their signal.
    reader_->setEnabled(false);
    writer_->setEnabled(false);
    idle_->stop();
    probe_->stop();
    resume_->stop();
    ::close(descriptor_);
    descriptor_ = -1;
    // Nothing here may fail before the connection counts as ended: its output is uncounted at
    // once and freed only after the end is told.
    unsentTotal -= owed_;
    owed_ = 0;
    sentOfFront_ = 0;
    closed_->store(true);
    dropWaiting();
    emit ended();
    while (!output_.empty()) {
        release(std::move(output_.front()));
        output_.pop_front();
    }
}

std::string TCPSocket::LocalAddress() const {
    sockaddr_storage storage{};
    socklen_t size = sizeof storage;
    if (descriptor_ < 0 || ::getsockname(descriptor_, reinterpret_cast<sockaddr*>(&storage), &size) != 0) return {};
    QHostAddress address(reinterpret_cast<const sockaddr*>(&storage));
    // A dual-stack listener reports IPv4 peers as mapped IPv6 addresses; clients expect the IPv4 form.
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4) address = QHostAddress(ipv4);
    return address.toString().toStdString();
}

bool TCPSocket::IsConnected() const { return descriptor_ >= 0; }

}  // namespace platform
