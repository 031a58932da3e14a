#include "platform/metadata_search.h"

#include <fcntl.h>
#include <poll.h>
#include <csignal>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char** environ;

namespace platform {

namespace {

std::atomic<bool> reasonReported{false};

void reportOnce(const std::string& reason) {
    if (reasonReported.exchange(true)) return;
    std::fprintf(stderr, "quorvantel-server: the file-name search finds nothing: %s\n", reason.c_str());
    std::fflush(stderr);
}

// RAII for the two ends of a pipe.
struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() {
        if (::pipe2(fds, O_CLOEXEC) != 0) fds[0] = fds[1] = -1;
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    bool ok() const { return fds[0] >= 0; }
    void closeRead() {
        if (fds[0] >= 0) ::close(fds[0]);
        fds[0] = -1;
    }
    void closeWrite() {
        if (fds[1] >= 0) ::close(fds[1]);
        fds[1] = -1;
    }
};

// Reaps the child on every way out, also when a hit's handler throws. A child that is not done
// is killed outright: one that ignores or sits out a gentler signal would hold the worker.
struct ChildProcess {
    pid_t pid = -1;
    ~ChildProcess() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            wait();
        }
    }
    int wait() {
        int status = 0;
        while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
        return status;
    }
};

struct ExtendedAttributes {
    std::string macType, macCreator;
    int32_t resourceForkLength = 0;
};

ExtendedAttributes extendedAttributesOf(const std::string& path) {
    ExtendedAttributes result;
    // One call tells whether there is anything to read at all; most files have no attributes.
    if (::listxattr(path.c_str(), nullptr, 0) <= 0) return result;
    char info[32];
    if (::getxattr(path.c_str(), "user.com.apple.FinderInfo", info, sizeof info) >= 8) {
        result.macType.assign(info, 4);
        result.macCreator.assign(info + 4, 4);
    }
    const ssize_t fork = ::getxattr(path.c_str(), "user.com.apple.ResourceFork", nullptr, 0);
    if (fork > 0) result.resourceForkLength = fork > INT32_MAX ? INT32_MAX : static_cast<int32_t>(fork);
    return result;
}

}  // namespace

std::optional<FileSnapshot> snapshotOf(const FolderItem& item) {
    const std::string& path = item.AbsolutePath();
    const unsigned mask = STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_BTIME;
    struct statx entry {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, mask, &entry) != 0) return std::nullopt;
    FileSnapshot snapshot;
    snapshot.alias = S_ISLNK(entry.stx_mode);
    struct statx target = entry;
    // A link that leads nowhere is described by the link itself.
    if (snapshot.alias && ::statx(AT_FDCWD, path.c_str(), 0, mask, &target) != 0) target = entry;
    snapshot.directory = S_ISDIR(target.stx_mode);
    snapshot.length = snapshot.directory ? 0 : static_cast<int64_t>(target.stx_size);
    const int64_t modified = target.stx_mtime.tv_sec;
    const int64_t created = (target.stx_mask & STATX_BTIME) ? target.stx_btime.tv_sec : modified;
    snapshot.creationTotalSeconds = totalSecondsFromUnix(created);
    snapshot.modificationTotalSeconds = totalSecondsFromUnix(modified);
    ExtendedAttributes attributes = extendedAttributesOf(path);
    snapshot.macType = std::move(attributes.macType);
    snapshot.macCreator = std::move(attributes.macCreator);
    snapshot.resourceForkLength = attributes.resourceForkLength;
    return snapshot;
}

std::string locatePatternFor(std::string_view text) {
    std::string pattern = "*";
    for (const char c : text) {
        if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') pattern.push_back('\\');
        pattern.push_back(c);
    }
    pattern.push_back('*');
    return pattern;
}

MetadataQueryEnd runMetadataQuery(std::string_view text,
                                  const std::function<bool(const FolderItem&, const FileSnapshot&)>& onHit,
                                  std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    // No name holds a NUL byte, and plocate could not be handed one.
    if (text.find('\0') != std::string_view::npos) return MetadataQueryEnd::Complete;
    if (Clock::now() >= deadline) return MetadataQueryEnd::OutOfTime;
    const std::string pattern = locatePatternFor(text);
    std::vector<std::string> arguments = {"plocate", "--basename", "--ignore-case", "--null"};
    if (const char* database = std::getenv("QUORVANTEL_LOCATE_DB"); database && *database) {
        arguments.push_back("--database");
        arguments.push_back(database);
    }
    arguments.push_back("--");
    arguments.push_back(pattern);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    Pipe output, errors;
    if (!output.ok() || !errors.ok()) {
        reportOnce(std::string("no pipe: ") + std::strerror(errno));
        return MetadataQueryEnd::Complete;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output.fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errors.fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ChildProcess child;
    const int spawned = ::posix_spawnp(&child.pid, "plocate", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    output.closeWrite();
    errors.closeWrite();
    if (spawned != 0) {
        child.pid = -1;
        reportOnce(std::string("plocate cannot be started: ") + std::strerror(spawned));
        return MetadataQueryEnd::Complete;
    }

    // Hits are handled as they come, so that memory follows the answer, not plocate's output.
    std::string pending;
    std::string errorText;
    char buffer[65536];
    pollfd fds[2] = {{output.fds[0], POLLIN, 0}, {errors.fds[0], POLLIN, 0}};
    int open = 2;
    // The time left, rounded up to whole milliseconds so that a poll never spins just before it ends.
    const auto timeLeft = [deadline]() -> int {
        if (deadline == Clock::time_point::max()) return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, INT32_MAX));
    };
    while (open > 0) {
        const int wait = timeLeft();
        if (wait == 0) return MetadataQueryEnd::OutOfTime;  // plocate is ended with the child
        const int ready = ::poll(fds, 2, wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            // Waiting for plocate to end could take for ever while it writes into a full pipe.
            reportOnce(std::string("plocate's output cannot be watched: ") + std::strerror(errno));
            return MetadataQueryEnd::Complete;  // plocate is ended with the child
        }
        if (ready == 0) continue;  // the deadline is tested above
        for (pollfd& fd : fds) {
            if (fd.fd < 0 || !(fd.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                fd.fd = -1;
                --open;
                continue;
            }
            if (&fd == &fds[1]) {
                if (errorText.size() < 4096) errorText.append(buffer, static_cast<size_t>(n));
                continue;
            }
            pending.append(buffer, static_cast<size_t>(n));
            size_t start = 0;
            for (size_t end = pending.find('\0'); end != std::string::npos; end = pending.find('\0', start)) {
                FolderItem hit(pending.substr(start, end - start));
                start = end + 1;
                // A hit's properties can take long to read (a slow or hung file system).
                if (timeLeft() == 0) return MetadataQueryEnd::OutOfTime;
                const auto snapshot = snapshotOf(hit);
                if (snapshot && !onHit(hit, *snapshot)) return MetadataQueryEnd::Stopped;
            }
            pending.erase(0, start);
        }
    }
    child.wait();
    // plocate ends with status 1 and says nothing when it simply finds no match.
    if (!errorText.empty()) {
        while (!errorText.empty() && (errorText.back() == '\n' || errorText.back() == '\r')) errorText.pop_back();
        reportOnce(errorText);
    }
    return MetadataQueryEnd::Complete;
}

}  // namespace platform
