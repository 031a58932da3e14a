#pragma once
// Lines written to a file descriptor by a thread of its own, so that an output that is slow, full
// or closed never holds up the caller: write errors are dropped, a closed pipe never raises
// SIGPIPE from here, and lines that would take more than the bound (what waits and what is being
// written) are left out and counted in one note, written where they are missing. Thread-safe.

#include <cstddef>
#include <memory>
#include <string_view>
#include <thread>

namespace platform {

class LineWriter {
 public:
    explicit LineWriter(int fd, size_t queueBound = size_t{4} << 20);
    // Writes what waits; an output that takes nothing for a second is left to the process's end.
    ~LineWriter();
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    void writeLine(std::string_view line);  // EndOfLine is added

 private:
    struct Queue;
    static void writeWaiting(Queue& queue);  // the thread's work, until closed and emptied

    std::shared_ptr<Queue> queue_;
    std::thread thread_;
};

}  // namespace platform
