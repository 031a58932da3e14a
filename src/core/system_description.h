#pragma once
// The system description text sent to clients, and whether the system can run Spotlight
// queries, both from the system version. Main thread, once at start-up.

#include <cstdint>
#include <optional>
#include <string>

struct SystemDescription {
    std::string text;              // "Mac OS X 10.4.11", "Mac OS 9.2.2", or empty
    std::optional<bool> spotlight; // set only for a major version of 10 or more
};

// From a version response word (hexadecimal 1049 for 10.4.9), or none for a failed query.
SystemDescription describeSystem(std::optional<int32_t> versionResponse);

namespace gfs {
// Returns the description text and sets App().candospotlight when the version says.
std::string getsystemstring();
}  // namespace gfs
