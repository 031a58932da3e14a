#include "bench_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace bench {

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

double median(const std::vector<double>& values) { return percentile(values, 0.5); }

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t size = sizeof address;
    int port = -1;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0) ::close(fd);
    if (port <= 0) throw std::runtime_error("no free port");
    return port;
}

std::string RequestWriter::operator()(std::string_view command, const std::vector<std::string>& paths,
                                      std::string_view condition, std::string_view spotlightText) const {
    std::string joined;
    for (const std::string& path : paths) joined.append(joined.empty() ? "" : "::").append(path);
    const std::string_view fields[] = {"", command, detail, label, "", joined, condition, view, spotlightText};
    std::string text;
    for (size_t i = 0; i < std::size(fields); ++i) text.append(i ? "]':'[" : "").append(fields[i]);
    return text;
}

int64_t recordCount(const std::string& answer) {
    int64_t count = 0;
    for (size_t at = answer.find("<record "); at != std::string::npos; at = answer.find("<record ", at + 1)) ++count;
    return count;
}

Connection::Connection(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd_ >= 0) ::close(fd_);
        throw std::runtime_error("cannot connect to port " + std::to_string(port));
    }
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

Connection::~Connection() { ::close(fd_); }

const std::string& Connection::ask(const std::string& text, std::string_view end) {
    if (!send(text)) throw std::runtime_error("send failed");
    if (!receive(end)) throw std::runtime_error(failure_);
    return answer_;
}

bool Connection::send(std::string_view text) {
    return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

bool Connection::receive(std::string_view end) {
    answer_.clear();
    char buffer[1 << 16];
    while (!answer_.ends_with(end)) {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, 60'000) != 1) {
            failure_ = "no answer within 60 s";
            return false;
        }
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            failure_ = "the server closed the connection";
            return false;
        }
        answer_.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

Server::Server(const ServerOptions& options) : port_(freePort()) {
    std::string pattern = (fs::temp_directory_path() / ("quorvantel-" + options.folderName + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    folder_ = pattern;
    {
        std::ofstream file(folder_ / "preferences-server.xml");
        file << "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n\n<settings>\n"
             << "     <variable name=\"port\" value=\"" << port_ << "\" />\n";
        for (const auto& [name, value] : options.settings)
            file << "     <variable name=\"" << name << "\" value=\"" << value << "\" />\n";
        file << "</settings>\n";
    }

    // The environment is built before the fork because only async-signal-safe calls belong
    // between fork and exec.
    std::vector<std::pair<std::string, std::string>> added = {{"QUORVANTEL_APP_FOLDER", folder_.string()},
                                                              {"QT_QPA_PLATFORM", "offscreen"}};
    added.insert(added.end(), options.environment.begin(), options.environment.end());
    // Headless whatever session the caller runs in.
    std::vector<std::string> dropped = {"DISPLAY", "WAYLAND_DISPLAY"};
    dropped.insert(dropped.end(), options.removedEnvironment.begin(), options.removedEnvironment.end());
    for (const auto& [name, value] : added) dropped.push_back(name);
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view text(*entry);
        if (std::find(dropped.begin(), dropped.end(), text.substr(0, text.find('='))) == dropped.end())
            entries.emplace_back(text);
    }
    for (const auto& [name, value] : added) entries.push_back(name + "=" + value);
    std::vector<char*> environment;
    for (std::string& entry : entries) environment.push_back(entry.data());
    environment.push_back(nullptr);
    std::string executable = fs::absolute(options.executable).string();
    char* const arguments[] = {executable.data(), nullptr};
    const std::string output = outputFile().string();

    pid_ = ::fork();
    if (pid_ == 0) {
        const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) ::dup2(fd, 1), ::dup2(fd, 2);
        ::execve(executable.c_str(), arguments, environment.data());
        ::_exit(127);
    }
    if (pid_ < 0) {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
        throw std::runtime_error("cannot start the server");
    }
}

Server::~Server() {
    stop();
    if (!endedByItself_) {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
}

std::string Server::waitForPong(const std::string& ping) {
    for (const auto start = Clock::now(); msSince(start) < 15'000;) {
        if (!running()) {
            std::ifstream output(outputFile());
            std::fprintf(stderr, "%s", std::string(std::istreambuf_iterator<char>(output), {}).c_str());
            throw std::runtime_error("the server ended at start; its output is in " + outputFile().string());
        }
        try {
            return Connection(port_).ask(ping, kAnswerEnd);
        } catch (const std::exception&) {
            std::this_thread::sleep_for(50ms);
        }
    }
    throw std::runtime_error("the server did not answer a ping within 15 s");
}

bool Server::running() {
    if (ended_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    status_ = status;
    ended_ = endedByItself_ = true;
    return false;
}

bool Server::stop() {
    if (!running()) return true;
    ::kill(pid_, SIGTERM);
    for (const auto start = Clock::now(); msSince(start) <= 10'000; std::this_thread::sleep_for(20ms)) {
        int status = 0;
        if (const pid_t done = ::waitpid(pid_, &status, WNOHANG); done != 0) {
            if (done == pid_) status_ = status;
            ended_ = true;
            return true;
        }
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    ended_ = true;
    return false;
}

}  // namespace bench
