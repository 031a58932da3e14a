#include "platform/tcp_socket.h"

#include "platform/exception_guard.h"

#include <QHostAddress>
#include <QSocketNotifier>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
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

    void release(std::string bytes) {
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

void release(std::string bytes) {
    static Releaser releaser;
    if (bytes.capacity() >= Releaser::kBig) releaser.release(std::move(bytes));
}

}  // namespace

TCPSocket::TCPSocket() = default;

TCPSocket::~TCPSocket() {
    closed_->store(true);
    if (descriptor_ >= 0) ::close(descriptor_);
}

void TCPSocket::attach(int descriptor) {
    descriptor_ = descriptor;
    ::fcntl(descriptor_, F_SETFL, ::fcntl(descriptor_, F_GETFL) | O_NONBLOCK);
    reader_ = new QSocketNotifier(descriptor_, QSocketNotifier::Read, this);
    writer_ = new QSocketNotifier(descriptor_, QSocketNotifier::Write, this);
    writer_->setEnabled(false);
    // A connection that waited for a free place may hold its request already: the notifier
    // reports it at once, as it reports any arrival.
    connect(reader_, &QSocketNotifier::activated, this, [this] { receive(); });
    connect(writer_, &QSocketNotifier::activated, this, [this] { sendWaiting(); });
}

void TCPSocket::receive() {
    int available = 0;
    ::ioctl(descriptor_, FIONREAD, &available);
    std::string bytes(static_cast<size_t>(std::max(available, kSmallestRead)), '\0');
    ssize_t n;
    do n = ::recv(descriptor_, bytes.data(), bytes.size(), 0);
    while (n < 0 && errno == EINTR);
    if (n > 0) {
        input_.append(bytes.data(), static_cast<size_t>(n));
        guarded([this] { Event_DataAvailable(); });
    } else if (n == 0) {
        // The client has shut down its sending side; it may still wait for answers.
        inputEnded_ = true;
        reader_->setEnabled(false);
        endWhenDone();
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        end(Ending::Failed);
    }
}

std::string TCPSocket::ReadAll() { return std::exchange(input_, {}); }

void TCPSocket::Write(std::string bytes) {
    if (descriptor_ < 0 || bytes.empty()) return;
    if (!output_.empty()) {
        if (waitingBehind_ + bytes.size() > kMaximumWaitingOutput) {
            end(Ending::Reset);
            return;
        }
        waitingBehind_ += bytes.size();
    }
    output_.push_back(std::move(bytes));
    if (output_.size() == 1) sendWaiting();
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
        budget -= static_cast<size_t>(n);
        sentOfFront_ += static_cast<size_t>(n);
        if (sentOfFront_ < front.size()) continue;
        release(std::move(output_.front()));  // its memory goes as soon as the kernel holds all of it
        output_.pop_front();
        sentOfFront_ = 0;
        if (!output_.empty()) waitingBehind_ -= output_.front().size();
    }
    writer_->setEnabled(!output_.empty());
    endWhenDone();
}

void TCPSocket::PromiseAnswer() { ++promised_; }

void TCPSocket::WritePromised(std::string answer) {
    if (promised_ > 0) --promised_;
    Write(std::move(answer));
    endWhenDone();
}

void TCPSocket::endWhenDone() {
    if (descriptor_ >= 0 && inputEnded_ && output_.empty() && promised_ == 0) end(Ending::Orderly);
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
    ::close(descriptor_);
    descriptor_ = -1;
    for (std::string& answer : output_) release(std::move(answer));
    output_.clear();
    closed_->store(true);
    emit ended();
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
