#include "platform/line_writer.h"

#include "platform/text_stream.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <string>

namespace platform {

struct LineWriter::Queue {
    explicit Queue(int f, size_t b) : fd(f), bound(b) {}
    const int fd;
    const size_t bound;
    // Guards everything below.
    std::mutex mutex;
    std::condition_variable changed;
    std::string waiting;
    long leftOut = 0;
    bool closing = false, done = false, broken = false;
};

namespace {

// False when the output is gone for good or refuses the text; what was not written is dropped.
bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n > 0) {
            text.remove_prefix(static_cast<size_t>(n));
        } else if (n < 0 && errno == EAGAIN) {
            pollfd ready{fd, POLLOUT, 0};
            ::poll(&ready, 1, 1000);
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

}  // namespace

LineWriter::LineWriter(int fd, size_t queueBound)
    : queue_(std::make_shared<Queue>(fd, queueBound)), thread_([queue = queue_] {
          // A closed pipe then fails the write with EPIPE, whatever the process does with SIGPIPE.
          sigset_t pipe;
          sigemptyset(&pipe);
          sigaddset(&pipe, SIGPIPE);
          pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
          writeWaiting(*queue);
      }) {}

LineWriter::~LineWriter() {
    std::unique_lock lock(queue_->mutex);
    queue_->closing = true;
    queue_->changed.notify_all();
    const bool finished = queue_->changed.wait_for(lock, std::chrono::seconds(1), [this] { return queue_->done; });
    lock.unlock();
    // A thread stuck in a write keeps the queue alive through its own reference.
    if (finished)
        thread_.join();
    else
        thread_.detach();
}

void LineWriter::writeLine(std::string_view line) {
    std::lock_guard lock(queue_->mutex);
    if (queue_->broken) return;
    if (queue_->waiting.size() + line.size() + EndOfLine.size() > queue_->bound) {
        ++queue_->leftOut;
        return;
    }
    queue_->waiting.append(line).append(EndOfLine);
    queue_->changed.notify_all();
}

void LineWriter::writeWaiting(Queue& queue) {
    std::string text;
    for (;;) {
        long leftOut = 0;
        {
            std::unique_lock lock(queue.mutex);
            queue.changed.wait(lock, [&] { return !queue.waiting.empty() || queue.leftOut > 0 || queue.closing; });
            if (queue.waiting.empty() && queue.leftOut == 0) break;
            text.clear();
            text.swap(queue.waiting);
            std::swap(leftOut, queue.leftOut);
        }
        if (leftOut > 0)
            text.insert(0, "[... " + std::to_string(leftOut) + " lines left out: the output was not taking them]" +
                               std::string(EndOfLine));
        if (!writeAll(queue.fd, text) && (errno == EPIPE || errno == EBADF)) {
            std::lock_guard lock(queue.mutex);
            queue.broken = true;
            queue.waiting.clear();
        }
    }
    std::lock_guard lock(queue.mutex);
    queue.done = true;
    queue.changed.notify_all();
}

}  // namespace platform
