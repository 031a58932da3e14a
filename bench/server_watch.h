#pragma once
// Watching a running server from outside while a scenario loads it: the latency of pings sent
// on a connection of their own, and the server's peak memory. A Pinger belongs to the thread
// that made it; peakMemoryKb may be called from any thread.

#include "bench_support.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// The peak resident memory of a process so far (VmHWM), in KiB; 0 when it cannot be read.
long peakMemoryKb(pid_t pid);

// Pings on its own connection from its own thread, pausing `pause` after each answer, until
// stopped. A ping without an answer within 60 s ends the pinging and is reported by stop().
class Pinger {
 public:
    Pinger(int port, std::string ping, std::chrono::microseconds pause);
    ~Pinger();
    Pinger(const Pinger&) = delete;
    Pinger& operator=(const Pinger&) = delete;

    // The latencies in milliseconds, in order; throws when a ping went unanswered.
    std::vector<double> stop();

 private:
    Connection connection_;
    std::string ping_;
    std::chrono::microseconds pause_;
    std::atomic<bool> stopping_{false};
    bool failed_ = false;
    std::vector<double> latencies_;
    std::thread thread_;
};

// "p50 A ms, p99 B ms, max C ms (n N)"
std::string latencySummary(const std::vector<double>& ms);

}  // namespace bench
