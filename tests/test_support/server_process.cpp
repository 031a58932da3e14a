#include "test_support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace test_support {

namespace fs = std::filesystem;

ServerProcess::ServerProcess() : folder_(parent_.path() / "app") {
    fs::create_directory(folder_);
}

ServerProcess::~ServerProcess() {
    if (process_.state() != QProcess::NotRunning) process_.kill();
    process_.waitForFinished(5000);
}

void ServerProcess::writeFile(const std::string& name, const std::string& content) const {
    test_support::writeFile(folder_ / name, content);
}

bool ServerProcess::start() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QUORVANTEL_APP_FOLDER", QString::fromStdString(folder_.string()));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    process_.setProcessEnvironment(environment);
    process_.setProgram(QUORVANTEL_SERVER_PATH);
    process_.start();
    return process_.waitForStarted(10000);
}

bool ServerProcess::serve(int connections, int total, int perDatabase) {
    port_ = freePort();
    writeFile("preferences-server.xml", settingsText(port_, connections, total, perDatabase));
    return start() && waitFor([this] { return pingAnswered(port_); });
}

int ServerProcess::terminate() {
    if (process_.state() == QProcess::NotRunning) return -1;
    ::kill(pid(), SIGTERM);
    if (!process_.waitForFinished(15000)) return -1;
    standardError();
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

bool ServerProcess::waitForLogLine(const std::string& fragment) {
    return waitFor([&] { return logText().find(fragment) != std::string::npos; });
}

std::string ServerProcess::logText() const { return test_support::logText(folder_ / "logs", true); }

std::string ServerProcess::standardError() { return standardError_ += process_.readAllStandardError().toStdString(); }

std::string ServerProcess::standardOutput() {
    return standardOutput_ += process_.readAllStandardOutput().toStdString();
}

DefaultPortLock::DefaultPortLock() : fd_(::open("/tmp/quorvantel-tests-default-port.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
}

DefaultPortLock::~DefaultPortLock() {
    if (fd_ >= 0) ::close(fd_);
}

bool Client::open(int port, int receiveBuffer) {
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
    close();
    return false;
}

bool Client::send(const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string Client::read(const std::string& terminator, size_t bytes, int timeoutMs) {
    std::string received;
    while (fd_ >= 0 && received.size() < bytes && (terminator.empty() || !received.ends_with(terminator))) {
        pollfd wait{fd_, POLLIN, 0};
        const int ready = ::poll(&wait, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        char buffer[65536];
        const ssize_t n = ready > 0 ? ::recv(fd_, buffer, sizeof buffer, 0) : -1;
        ended = n == 0;
        if (n <= 0) break;
        received.append(buffer, static_cast<size_t>(n));
    }
    return received;
}

void Client::close(bool reset) {
    if (fd_ < 0) return;
    const linger abortive{1, 0};
    if (reset) ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(fd_);
    fd_ = -1;
}

std::string exchange(int port, const std::string& text, const std::string& terminator, int timeoutMs) {
    Client client;
    return client.open(port) && client.send(text) ? client.read(terminator, SIZE_MAX, timeoutMs) : "";
}

bool pingAnswered(int port) {
    return exchange(port, request("vaxo-ping"), "</answer>\n", 5000).find("action=\"vaxo-pong\"") != std::string::npos;
}

}  // namespace test_support
