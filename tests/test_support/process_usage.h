#pragma once
// What a running process has used so far, read from /proc: for tests that bound a server's memory
// or show that it does not spin. Any thread.

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace test_support {

// A field of /proc/PID/status in KiB, such as "VmHWM" (peak resident) or "VmRSS"; 0 when unread.
inline long processStatusKb(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string pattern = field + ": %ld";
    long kb = 0;
    for (std::string line; std::getline(status, line);)
        if (std::sscanf(line.c_str(), pattern.c_str(), &kb) == 1) break;
    return kb;
}

// User and system CPU time of a process, in seconds.
inline double processCpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), {});
    const size_t nameEnd = text.rfind(')');
    if (nameEnd == std::string::npos) return 0;
    std::istringstream fields(text.substr(nameEnd + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoul(field);
        if (i == 15) stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace test_support
