#include "core/system_description.h"

#include "core/app.h"
#include "platform/numbers.h"
#include "platform/system_version.h"

SystemDescription describeSystem(std::optional<int32_t> versionResponse) {
    if (!versionResponse) return {};
    const int32_t v = *versionResponse;
    const int32_t major = ((v / 256) & 15) + 10 * (((v / 256) / 16) & 15);
    const int32_t minor = (v / 16) & 15;
    const int32_t third = v & 15;
    const std::string digits =
        platform::Str(major) + "." + platform::Str(minor) + "." + platform::Str(third);
    if (major >= 10) return {"Mac OS X " + digits, minor >= 3};
    return {"Mac OS " + digits, std::nullopt};
}

namespace gfs {

std::string getsystemstring() {
    const SystemDescription description = describeSystem(platform::systemVersionResponse());
    if (description.spotlight) App().candospotlight = *description.spotlight;
    return description.text;
}

}  // namespace gfs
