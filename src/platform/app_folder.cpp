#include "platform/app_folder.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace platform {

FolderItem ApplicationFolder() {
    if (const char* chosen = std::getenv("QUORVANTEL_APP_FOLDER"); chosen && *chosen) {
        std::error_code error;
        const auto absolute = std::filesystem::absolute(chosen, error);
        return FolderItem(error ? std::string(chosen) : absolute.lexically_normal().string());
    }
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return FolderItem(std::filesystem::current_path().string());
    return FolderItem(std::filesystem::path(std::string(buffer, static_cast<size_t>(n))).parent_path().string());
}

}  // namespace platform
