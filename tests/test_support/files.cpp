#include "test_support/files.h"

#include "test_support/programs.h"

#include <sys/time.h>
#include <sys/xattr.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <stdexcept>

namespace test_support {

namespace fs = std::filesystem;

namespace {
void setVariable(const std::string& name, const char* value) {
    value ? ::setenv(name.c_str(), value, 1) : ::unsetenv(name.c_str());
    if (name == "TZ") ::tzset();
}
}  // namespace

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setVariable(name_, value);
}

ScopedEnv::~ScopedEnv() { setVariable(name_, old_ ? old_->c_str() : nullptr); }

TemporaryFolder::TemporaryFolder(std::string_view prefix) {
    std::string pattern = (fs::temp_directory_path() / prefix).string() + "-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

Immutable::Immutable(fs::path path)
    : path_(std::move(path)), active_(runQuietly({"chattr", "+i", path_.string()}) == 0) {}

Immutable::~Immutable() {
    if (active_) runQuietly({"chattr", "-i", path_.string()});
}

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const fs::path& file, std::string_view bytes) {
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Only regular files are read: a log file that leads to a device such as /dev/full has no end.
std::string logText(const fs::path& logs, bool keepStamps) {
    std::set<fs::path> files;
    std::error_code error, ignored;
    for (fs::directory_iterator it(logs, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file(ignored)) files.insert(it->path());
    std::string text;
    for (const fs::path& file : files) text += readFile(file);
    return keepStamps ? text : std::regex_replace(text, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d: )"), "* ");
}

std::string monthLogName(std::time_t when) {
    std::tm local{};
    char name[32];
    std::strftime(name, sizeof name, "serverlog-%Y-%m.log", ::localtime_r(&when, &local));
    return name;
}

size_t occurrences(std::string_view text, std::string_view fragment) {
    size_t count = 0;
    for (size_t at = text.find(fragment); at != std::string_view::npos; at = text.find(fragment, at + 1)) ++count;
    return count;
}

std::string settingsText(int port, int connections, int total, int perDatabase) {
    using std::to_string;  // unlike a stream, never grouped by a locale a test has set
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n\n<settings>\n"
           "     <variable name=\"port\" value=\"" + to_string(port) + "\" />\n"
           "     <variable name=\"limit_connections\" value=\"" + to_string(connections) + "\" />\n"
           "     <variable name=\"limit_results_total\" value=\"" + to_string(total) + "\" />\n"
           "     <variable name=\"limit_results_database\" value=\"" + to_string(perDatabase) + "\" />\n"
           "     <variable name=\"use_spotlight\" value=\"false\" />\n</settings>\n";
}

bool setTimes(const fs::path& entry, std::time_t seconds) {
    const timeval times[2] = {{seconds, 0}, {seconds, 0}};
    return ::lutimes(entry.c_str(), times) == 0;
}

bool setFinderInfo(const fs::path& entry, std::string_view typeCreator, size_t forkLength) {
    std::string info(typeCreator);
    info.resize(32, '\0');
    const std::string fork(forkLength, 'r');
    return ::setxattr(entry.c_str(), "user.com.apple.FinderInfo", info.data(), info.size(), 0) == 0 &&
           (!forkLength || ::setxattr(entry.c_str(), "user.com.apple.ResourceFork", fork.data(), forkLength, 0) == 0);
}

std::vector<std::string> openDescriptors(pid_t pid) {
    std::vector<std::string> targets;
    std::error_code error, ignored;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end; !error && it != end;
         it.increment(error))
        targets.push_back(fs::read_symlink(it->path(), ignored).string());
    return targets;
}

}  // namespace test_support
