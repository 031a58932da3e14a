#include "platform/folder_item.h"

#include "platform/app_folder.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <vector>

namespace platform {

namespace {

constexpr int64_t kSecondsFrom1904To1970 = 2082844800;

std::string trimTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::optional<std::string> finderInfo(const std::string& path) {
    char buffer[32];
    const ssize_t n = getxattr(path.c_str(), "user.com.apple.FinderInfo", buffer, sizeof buffer);
    if (n < 8) return std::nullopt;
    return std::string(buffer, 8);
}

}  // namespace

FolderItem::FolderItem(std::string absolutePath) : path_(trimTrailingSlashes(std::move(absolutePath))) {}

std::string FolderItem::Name() const {
    const size_t slash = path_.rfind('/');
    if (slash == std::string::npos) return path_;
    if (path_.size() == 1) return path_;
    return path_.substr(slash + 1);
}

bool FolderItem::Exists() const {
    struct stat st {};
    return ::stat(path_.c_str(), &st) == 0;
}

bool FolderItem::Directory() const {
    struct stat st {};
    return ::stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FolderItem::IsRegularFile() const {
    struct stat st {};
    return ::stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FolderItem::Alias() const {
    struct stat st {};
    return ::lstat(path_.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool FolderItem::Visible() const { return Name().rfind('.', 0) != 0; }

bool FolderItem::Locked() const {
    // O_NONBLOCK: asking a FIFO for its flags must not wait for a writer.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    const bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    ::close(fd);
    return ok && (flags & FS_IMMUTABLE_FL) != 0;
}

int64_t FolderItem::Length() const {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return 0;
    return st.st_size;
}

int32_t FolderItem::ResourceForkLength() const {
    const ssize_t n = getxattr(path_.c_str(), "user.com.apple.ResourceFork", nullptr, 0);
    return n > 0 ? static_cast<int32_t>(std::min<ssize_t>(n, INT32_MAX)) : 0;
}

std::string FolderItem::MacType() const {
    const auto info = finderInfo(path_);
    return info ? info->substr(0, 4) : std::string();
}

std::string FolderItem::MacCreator() const {
    const auto info = finderInfo(path_);
    return info ? info->substr(4, 4) : std::string();
}

int64_t FolderItem::CreationTotalSeconds() const {
    struct statx stx {};
    if (::statx(AT_FDCWD, path_.c_str(), 0, STATX_BTIME | STATX_MTIME, &stx) != 0) return 0;
    const int64_t seconds = (stx.stx_mask & STATX_BTIME) ? stx.stx_btime.tv_sec : stx.stx_mtime.tv_sec;
    return totalSecondsFromUnix(seconds);
}

int64_t FolderItem::ModificationTotalSeconds() const {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) return 0;
    return totalSecondsFromUnix(st.st_mtim.tv_sec);
}

std::optional<FolderItem> FolderItem::Parent() const {
    if (path_ == "/") return std::nullopt;
    const size_t slash = path_.rfind('/');
    if (slash == std::string::npos) return std::nullopt;
    return FolderItem(slash == 0 ? std::string("/") : path_.substr(0, slash));
}

FolderItem FolderItem::Child(std::string_view name) const {
    return FolderItem(path_ == "/" ? "/" + std::string(name) : path_ + "/" + std::string(name));
}

std::vector<FolderItem> FolderItem::Items() const {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(path_, error), end; !error && it != end; it.increment(error))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    std::vector<FolderItem> items;
    items.reserve(names.size());
    for (const std::string& name : names) items.push_back(Child(name));
    return items;
}

bool FolderItem::CreateAsFolder() const { return ::mkdir(path_.c_str(), 0755) == 0; }

bool FolderItem::Delete() const {
    return Directory() ? ::rmdir(path_.c_str()) == 0 : ::unlink(path_.c_str()) == 0;
}

std::optional<FolderItem> GetFolderItem(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    if (path.empty()) return ApplicationFolder();
    FolderItem item = path.front() == '/' ? FolderItem(std::string(path)) : ApplicationFolder().Child(path);
    const auto parent = item.Parent();
    if (parent && !parent->Directory()) return std::nullopt;
    return item;
}

int64_t totalSecondsFromUnix(int64_t unixSeconds) {
    const time_t t = static_cast<time_t>(unixSeconds);
    struct tm local {};
    localtime_r(&t, &local);
    return unixSeconds + local.tm_gmtoff + kSecondsFrom1904To1970;
}

}  // namespace platform
