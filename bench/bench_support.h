#pragma once
// The client side the benchmark programs share: the real server started and ended, connections,
// requests, timing. A Server or Connection belongs to one thread at a time; the functions, any.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start);
// The nearest rank, p from 0 to 1, not an interpolation, so that every figure printed is a time
// that was measured. 0 for no samples.
double percentile(std::vector<double> values, double p);
double median(const std::vector<double>& values);

// The server's answers have no length, only a closing text: a search or browse ends with
// kResultEnd, a ping or database list with kAnswerEnd.
inline constexpr std::string_view kResultEnd = "</result>\n";
inline constexpr std::string_view kAnswerEnd = "</answer>\n";

// Free when asked but not held, so that the server can take it; another program could take it
// first in the short time between.
int freePort();

// Requests from one client. The server logs each as "label (detail)" and repeats view in every
// search answer, so each program names itself to tell its traffic apart.
struct RequestWriter {
    std::string detail, label, view;
    std::string operator()(std::string_view command, const std::vector<std::string>& paths = {},
                           std::string_view condition = {}, std::string_view spotlightText = {}) const;
};

// Counted by their opening tags and not parsed: the mismatch checks need no more.
int64_t recordCount(const std::string& answer);

// One client connection; requests go one after another because the server has no framing.
class Connection {
 public:
    explicit Connection(int port);  // throws when nothing accepts
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The whole answer, up to and including end; throws when it does not come.
    const std::string& ask(const std::string& text, std::string_view end);
    const std::string& search(const std::string& text) { return ask(text, kResultEnd); }

    // The halves of ask, for a caller that carries on after a failure and tells the two apart.
    bool send(std::string_view text);
    // False when the server closed the connection or said nothing for 60 s; answer() then holds
    // what came.
    bool receive(std::string_view end);
    const std::string& answer() const { return answer_; }
    int fd() const { return fd_; }

 private:
    int fd_ = -1;
    std::string answer_;
    const char* failure_ = "";
};

struct ServerOptions {
    std::string executable = {};
    // In the temporary folder's name, quorvantel-NAME-XXXXXX, so that a folder left behind tells
    // which program made it.
    std::string folderName = {};
    // Written after the port; the server's own defaults hold for whatever is left out.
    std::vector<std::pair<std::string, std::string>> settings = {};
    // Beyond what every server gets: its application folder, the offscreen platform, no display.
    std::vector<std::pair<std::string, std::string>> environment = {};
    std::vector<std::string> removedEnvironment = {};
};

// The real server in a temporary application folder of its own, headless, its output in a file
// there. Ended on destruction; the folder goes with it unless the server ended by itself, so
// that its output can still be read.
class Server {
 public:
    explicit Server(const ServerOptions& options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Separate from the constructor so that a server that never answers is still ended by the
    // destructor. Throws when it ends first (its output going to stderr) or is silent for 15 s.
    std::string waitForPong(const std::string& ping);
    bool running();
    // SIGTERM, and SIGKILL when it has not quit within 10 s; false then. status() tells how it
    // quit otherwise.
    bool stop();

    int status() const { return status_; }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::filesystem::path outputFile() const { return folder_ / "server-output.txt"; }

 private:
    int port_;
    std::filesystem::path folder_;
    pid_t pid_ = -1;
    bool ended_ = false, endedByItself_ = false;
    int status_ = 0;
};

}  // namespace bench
