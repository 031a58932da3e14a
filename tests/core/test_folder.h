#pragma once
// Each test gets a folder of its own that the server takes for its application folder, so that
// settings and log files never leak between tests or into the build tree.

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace qvtest {

namespace fs = std::filesystem;

// Sets (or, with nullptr, unsets) an environment variable for a scope and puts the old value back.
class ScopedEnv {
 public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_.c_str(), old_->c_str(), 1) : ::unsetenv(name_.c_str()); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
    std::string name_;
    std::optional<std::string> old_;
};

// Marks a path immutable. As root plain permissions stop no write, so this is the one way to make
// a write fail. The flag is always cleared again, also after a failed assertion, or the temporary
// folder could not be removed.
class ImmutableGuard {
 public:
    explicit ImmutableGuard(fs::path path) : path_(std::move(path)) {
        active_ = std::system(("chattr +i '" + path_.string() + "' 2>/dev/null").c_str()) == 0;
    }
    ~ImmutableGuard() {
        if (active_ && std::system(("chattr -i '" + path_.string() + "'").c_str()) != 0) {
            // Nothing more can be done; the folder then stays behind in the temporary directory.
        }
    }
    ImmutableGuard(const ImmutableGuard&) = delete;
    ImmutableGuard& operator=(const ImmutableGuard&) = delete;
    bool active() const { return active_; }

 private:
    fs::path path_;
    bool active_ = false;
};

// A fresh folder that QUORVANTEL_APP_FOLDER names while the object lives. It sits in a private
// temporary folder of its own, because the server also looks beside it (for "preferences").
class TestFolder {
 public:
    TestFolder() : root_(make()), path_(root_ / "app"), env_("QUORVANTEL_APP_FOLDER", path_.c_str()) {
        fs::create_directory(path_);
    }
    ~TestFolder() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
    static fs::path make() {
        std::string pattern = (fs::temp_directory_path() / "qv-core-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        return pattern;
    }

    fs::path root_;
    fs::path path_;
    ScopedEnv env_;
};

inline std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const fs::path& file, const std::string& content) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
}

}  // namespace qvtest
