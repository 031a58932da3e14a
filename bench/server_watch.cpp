#include "server_watch.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace bench {

long peakMemoryKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    long kb = 0;
    for (std::string line; std::getline(status, line);) std::sscanf(line.c_str(), "VmHWM: %ld", &kb);
    return kb;
}

Pinger::Pinger(int port, std::string ping, std::chrono::microseconds pause)
    : connection_(port), ping_(std::move(ping)), pause_(pause), thread_([this] {
          while (!stopping_) {
              const auto start = Clock::now();
              if (!connection_.send(ping_) || !connection_.receive(kAnswerEnd)) {
                  failed_ = true;
                  return;
              }
              latencies_.push_back(msSince(start));
              std::this_thread::sleep_for(pause_);
          }
      }) {}

Pinger::~Pinger() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

std::vector<double> Pinger::stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (failed_) throw std::runtime_error("a ping went unanswered");
    return latencies_;
}

std::string latencySummary(const std::vector<double>& ms) {
    char text[128];
    std::snprintf(text, sizeof text, "p50 %.2f ms, p99 %.2f ms, max %.2f ms (n %zu)", percentile(ms, 0.5),
                  percentile(ms, 0.99), ms.empty() ? 0.0 : *std::max_element(ms.begin(), ms.end()), ms.size());
    return text;
}

}  // namespace bench
