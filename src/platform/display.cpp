#include "platform/display.h"

#include <cstdlib>
#include <string_view>

namespace platform {

namespace {
bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}
}  // namespace

void chooseOffscreenPlatformWithoutDisplay() {
    if (!isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY") && !isSet("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

bool hasDisplay() {
    const char* chosen = std::getenv("QT_QPA_PLATFORM");
    if (chosen && *chosen) {
        const std::string_view platform(chosen);
        return platform.rfind("offscreen", 0) != 0 && platform.rfind("minimal", 0) != 0;
    }
    return isSet("DISPLAY") || isSet("WAYLAND_DISPLAY");
}

}  // namespace platform
