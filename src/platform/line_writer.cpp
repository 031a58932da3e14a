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
#include <utility>

namespace platform {

struct LineWriter::Queue {
    explicit Queue(int f, size_t b) : fd(f), bound(b) {}
    const int fd;
    const size_t bound;
    // Guards everything below.
    std::mutex mutex;
    std::condition_variable changed;
    std::string waiting;
    size_t writing = 0;  // taken from waiting and not yet written
    long leftOut = 0;
    bool closing = false, done = false, broken = false;
};

namespace {

std::string leftOutNote(long lines) {
    if (lines == 0) return {};
    return "[... " + std::to_string(lines) + " lines left out: the output was not taking them]" +
           std::string(EndOfLine);
}

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
    // The note goes where the lines are missing, before the first line taken again.
    const std::string note = leftOutNote(queue_->leftOut);
    if (queue_->writing + queue_->waiting.size() + note.size() + line.size() + EndOfLine.size() > queue_->bound) {
        ++queue_->leftOut;
        return;
    }
    queue_->waiting.append(note).append(line).append(EndOfLine);
    queue_->leftOut = 0;
    queue_->changed.notify_all();
}

void LineWriter::writeWaiting(Queue& queue) {
    std::string text;
    for (;;) {
        {
            std::unique_lock lock(queue.mutex);
            queue.changed.wait(lock, [&] { return !queue.waiting.empty() || queue.closing; });
            // Closing: what was left out last is still said.
            if (queue.waiting.empty()) queue.waiting = leftOutNote(std::exchange(queue.leftOut, 0));
            if (queue.waiting.empty()) break;
            text.clear();
            text.swap(queue.waiting);
            queue.writing = text.size();
        }
        const bool gone = !writeAll(queue.fd, text) && (errno == EPIPE || errno == EBADF);
        std::lock_guard lock(queue.mutex);
        queue.writing = 0;
        if (gone) {
            queue.broken = true;
            queue.waiting.clear();
        }
    }
    std::lock_guard lock(queue.mutex);
    queue.done = true;
    queue.changed.notify_all();
}

}  // namespace platform
