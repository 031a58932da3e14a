// Lines written to an output that stops taking them: what fits the bound waits, the rest is left
// out, and each gap is said once, where it is, with its own count.

#include "platform/line_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Reads a pipe on a thread of its own while it runs.
class PipeReader {
 public:
    explicit PipeReader(int fd) : fd_(fd) {}
    ~PipeReader() { stop(); }

    void start() {
        if (thread_.joinable()) return;
        stopping_ = false;
        thread_ = std::thread([this] {
            char buffer[4096];
            while (!stopping_) {
                pollfd ready{fd_, POLLIN, 0};
                if (::poll(&ready, 1, 10) != 1) continue;
                const ssize_t n = ::read(fd_, buffer, sizeof buffer);
                if (n <= 0) return;
                std::lock_guard lock(mutex_);
                text_.append(buffer, static_cast<size_t>(n));
            }
        });
    }
    void stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
    }
    // What came, without the bytes the test stuffed the pipe with.
    std::string text() {
        std::lock_guard lock(mutex_);
        std::string lines = text_;
        std::erase(lines, '#');
        return lines;
    }
    bool waitFor(const std::string& end) {
        for (const auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(2ms))
            if (text().ends_with(end)) return true;
        return false;
    }

 private:
    const int fd_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;  // guards text_
    std::string text_;
    std::thread thread_;
};

// Until the pipe takes no more, so that the writer's next write waits.
void fill(int fd) {
    while (::write(fd, "#", 1) == 1) {
    }
}

std::string numbered(int phase, int line) {
    std::string text = "phase " + std::to_string(phase) + " line " + std::to_string(line) + " ";
    return text.append(99 - text.size(), 'x');  // 100 bytes with its line end
}

std::string note(int lines) {
    return "[... " + std::to_string(lines) + " lines left out: the output was not taking them]\n";
}

std::string firstDifference(const std::string& came, const std::string& expected) {
    const size_t at = static_cast<size_t>(std::mismatch(came.begin(), came.end(), expected.begin(), expected.end()).first - came.begin());
    return "from byte " + std::to_string(at) + " came \"" + came.substr(at, 160) + "\", expected \"" + expected.substr(at, 160) + "\"";
}

// Each phase writes 10 lines while the output takes them ('r'), or 30 lines into a full pipe
// ('f'), of which the 20 that fill the bound of 2000 bytes exactly wait and 10 are left out.
TEST(LineWriter, EachGapIsNotedOnceWhereItIsWithItsOwnCount) {
    constexpr size_t kBound = 2000;
    const struct {
        const char* phases;
        const char* why;
    } cases[] = {{"r", "an output that keeps up: no note"},
                 {"fr", "one gap, then lines taken again"},
                 {"frrfr", "two gaps, counted apart"},
                 {"rf", "a gap at the end, said when the writer closes"},
                 {"frf", "a gap, then one at the end"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.phases) + ": " + c.why);
        int pipe[2];
        ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
        ::fcntl(pipe[1], F_SETPIPE_SZ, 4096);
        ::fcntl(pipe[1], F_SETFL, O_NONBLOCK);
        std::string expected;
        int pendingGap = 0;
        PipeReader reader(pipe[0]);
        {
            platform::LineWriter writer(pipe[1], kBound);
            for (int phase = 0; c.phases[phase]; ++phase) {
                const bool full = c.phases[phase] == 'f';
                reader.stop();
                if (full)
                    fill(pipe[1]);
                else
                    reader.start();
                for (int line = 0; line < (full ? 30 : 10); ++line) {
                    writer.writeLine(numbered(phase, line));
                    if (full && line >= 20) continue;
                    if (pendingGap) expected += note(std::exchange(pendingGap, 0));
                    expected += numbered(phase, line) + "\n";
                }
                if (full) pendingGap = 10;
                // What waits is written before the next phase, so that each begins with an empty queue.
                reader.start();
                ASSERT_TRUE(reader.waitFor(expected)) << firstDifference(reader.text(), expected);
            }
            if (pendingGap) expected += note(pendingGap);
        }
        ASSERT_TRUE(reader.waitFor(expected)) << firstDifference(reader.text(), expected);
        reader.stop();
        ::close(pipe[1]);
        ::close(pipe[0]);
        EXPECT_EQ(reader.text(), expected);
    }
}

}  // namespace
