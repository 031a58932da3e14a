#include "platform/ticks.h"

#include <chrono>

namespace platform {

int32_t Ticks() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    const auto sixtieths = std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 60>>>(since);
    return static_cast<int32_t>(static_cast<uint32_t>(sixtieths.count()));
}

int32_t ticksBetween(int32_t start, int32_t end) {
    return static_cast<int32_t>(static_cast<uint32_t>(end) - static_cast<uint32_t>(start));
}

}  // namespace platform
