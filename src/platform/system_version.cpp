#include "platform/system_version.h"

#include <charconv>
#include <cstdlib>

namespace platform {

namespace {
constexpr std::string_view kProvidedLevel = "10.4.11";

std::optional<int> readPart(std::string_view& text, int maximum) {
    int value = -1;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || value < 0 || value > maximum) return std::nullopt;
    text.remove_prefix(static_cast<size_t>(result.ptr - text.data()));
    return value;
}
}  // namespace

std::optional<int32_t> encodeSystemVersion(std::string_view version) {
    const auto major = readPart(version, 99);
    if (!major || version.empty() || version.front() != '.') return std::nullopt;
    version.remove_prefix(1);
    const auto minor = readPart(version, 15);
    if (!minor || version.empty() || version.front() != '.') return std::nullopt;
    version.remove_prefix(1);
    const auto third = readPart(version, 15);
    if (!third || !version.empty()) return std::nullopt;
    return ((*major / 10) << 12) | ((*major % 10) << 8) | (*minor << 4) | *third;
}

std::optional<int32_t> systemVersionResponse() {
    const char* chosen = std::getenv("QUORVANTEL_SYSTEM_VERSION");
    return encodeSystemVersion(chosen && *chosen ? std::string_view(chosen) : kProvidedLevel);
}

}  // namespace platform
