#pragma once
// Runs the real server executable in a private application folder without a display, and talks
// to it over loopback with every wait bounded. ServerProcess belongs to the test's main thread;
// Client and the free functions that touch no ServerProcess may run on any thread.

#include "test_support/files.h"
#include "test_support/loop_client.h"
#include "test_support/protocol.h"
#include "test_support/sqlite_files.h"
#include "test_support/waiting.h"

#include <QProcess>

#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

namespace test_support {

class ServerProcess {
 public:
    ServerProcess();
    ~ServerProcess();  // kills a server still running and removes its folders

    // The application's folder, alone in a private parent that holds only what a test puts there.
    const std::filesystem::path& folder() const { return folder_; }
    const std::filesystem::path& parentFolder() const { return parent_.path(); }
    int port() const { return port_; }
    pid_t pid() const { return static_cast<pid_t>(process_.processId()); }
    void writeFile(const std::string& name, const std::string& content) const;

    bool start();
    // Writes settings with a free port and these limits and starts; true once a ping is answered.
    bool serve(int connections = 10, int total = 2000, int perDatabase = 500);
    int terminate();  // SIGTERM, then the exit status (-1 when it did not end by itself)
    bool waitForLogLine(const std::string& fragment);
    std::string logText() const;  // with the time stamps
    std::string standardError();
    std::string standardOutput();
    QProcess& process() { return process_; }  // to send its output elsewhere before it starts

 private:
    TemporaryFolder parent_{"qv-server"};
    std::filesystem::path folder_;
    QProcess process_;
    std::string standardError_, standardOutput_;
    int port_ = 0;
};

// Whether the server's default port is free for a test that needs that very port. Elsewhere a
// test may skip when another program holds it; on CI (the environment variable CI set) that is
// a failure, since a skip there would hide the test for good.
inline bool defaultPortFreeOrFailOnCi() {
    if (portIsFree(7000)) return true;
    if (std::getenv("CI")) ADD_FAILURE() << "port 7000 is taken on this machine";
    return false;
}

// Held by a test that runs the server on its default port, so that two such tests of one run
// (ctest runs tests side by side) never meet there.
class DefaultPortLock {
 public:
    DefaultPortLock();
    ~DefaultPortLock();
    DefaultPortLock(const DefaultPortLock&) = delete;
    DefaultPortLock& operator=(const DefaultPortLock&) = delete;

 private:
    int fd_;
};

// A blocking client, for a server in another process.
class Client {
 public:
    Client() = default;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client() { close(); }

    bool open(int port, int receiveBuffer = 0);
    bool send(const std::string& bytes);
    // Until what came ends with `terminator` (when given) or holds `bytes`, the peer ends, or
    // nothing comes for `timeoutMs`.
    std::string read(const std::string& terminator, size_t bytes = SIZE_MAX, int timeoutMs = 20000);
    void close(bool reset = false);  // reset: the peer sees a reset, not an orderly end
    int fd() const { return fd_; }
    bool ended = false;  // the peer closed its side

 private:
    int fd_ = -1;
};

std::string exchange(int port, const std::string& text, const std::string& terminator, int timeoutMs = 20000);
bool pingAnswered(int port);

// Earlier names, kept until every caller uses the ones above.
inline bool makeCatalog(const std::filesystem::path& file, int rows, int matchEvery) {
    return makeNeedleCatalog(file, rows, matchEvery);
}
inline bool writePreferences(const std::filesystem::path& file, std::initializer_list<std::string> defaults) {
    return writePreferences(file, std::vector<std::string>(defaults));
}

}  // namespace test_support
