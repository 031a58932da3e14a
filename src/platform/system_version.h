#pragma once
// The system version query: the response word whose hexadecimal digits are the major version
// (two BCD digits), the minor and the third version number (one digit each). The answer is the
// level of 10.4.11; QUORVANTEL_SYSTEM_VERSION ("10.2.8", "9.2.2", or "none" for a failed query)
// replaces it. Safe on any thread.

#include <cstdint>
#include <optional>
#include <string_view>

namespace platform {

// None when the query fails (also for a version text that cannot be encoded).
std::optional<int32_t> systemVersionResponse();

// Encodes "major.minor.third" as the response word; none when it cannot be encoded.
std::optional<int32_t> encodeSystemVersion(std::string_view version);

}  // namespace platform
