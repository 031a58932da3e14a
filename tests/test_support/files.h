#pragma once
// Files, folders and environment variables as a test arranges and reads them; each guard undoes
// its change when its scope ends. The environment belongs to the test's main thread.

#include <sys/types.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

// Sets (nullptr: unsets) one environment variable for a scope; a time zone takes effect at once.
class ScopedEnv {
 public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
    std::string name_;
    std::optional<std::string> old_;
};

// A private folder in the system's temporary folder, removed with all it holds.
class TemporaryFolder {
 public:
    explicit TemporaryFolder(std::string_view prefix = "qv-test");
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

 private:
    std::filesystem::path path_;
};

// The immutable attribute (chattr +i) for a scope: as root, the one way to make a write fail.
class Immutable {
 public:
    explicit Immutable(std::filesystem::path path);
    ~Immutable();
    Immutable(const Immutable&) = delete;
    Immutable& operator=(const Immutable&) = delete;
    bool active() const { return active_; }  // false where the file system has no such attribute

 private:
    std::filesystem::path path_;
    bool active_;
};

std::string readFile(const std::filesystem::path& file);  // "" when it cannot be read
void writeFile(const std::filesystem::path& file, std::string_view bytes);
// Every file of a log folder in name order, so months in order; each well-formed time stamp shown
// as "* " unless kept.
std::string logText(const std::filesystem::path& logs, bool keepStamps = false);
std::string monthLogName(std::time_t when = std::time(nullptr));  // of the local month
size_t occurrences(std::string_view text, std::string_view fragment);
// The nine-line settings file the server writes itself, with these values.
std::string settingsText(int port, int connections = 10, int total = 2000, int perDatabase = 500);

// Access and modification time of the entry itself, also of a symbolic link.
bool setTimes(const std::filesystem::path& entry, std::time_t seconds);
// Type and creator ("BINAVaxo") as the Finder keeps them, and a resource fork of forkLength bytes;
// false where user extended attributes are not supported.
bool setFinderInfo(const std::filesystem::path& entry, std::string_view typeCreator, size_t forkLength = 0);
// Where each open descriptor of a process leads: a path, "socket:[…]", "… (deleted)".
std::vector<std::string> openDescriptors(pid_t pid = ::getpid());

}  // namespace test_support
