#include "test_support/server_process.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkInterface>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>

namespace test_support {

namespace {
std::filesystem::path makeTemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvantel-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    return pattern;
}
}  // namespace

ServerProcess::ServerProcess()
    : parent_(makeTemporaryFolder()), folder_(parent_ / "app"), environment_(QProcessEnvironment::systemEnvironment()) {
    std::filesystem::create_directory(folder_);
    environment_.insert("QUORVANTEL_APP_FOLDER", QString::fromStdString(folder_.string()));
    environment_.insert("QT_QPA_PLATFORM", "offscreen");
    environment_.remove("DISPLAY");
    environment_.remove("WAYLAND_DISPLAY");
}

ServerProcess::~ServerProcess() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
    std::error_code ignored;
    std::filesystem::remove_all(parent_, ignored);
}

void ServerProcess::writeFile(const std::string& name, const std::string& content) const {
    std::ofstream(folder_ / name, std::ios::binary) << content;
}

void ServerProcess::setEnvironment(const QString& name, const QString& value) { environment_.insert(name, value); }

bool ServerProcess::start() {
    QByteArray executable = qgetenv("QUORVANTEL_SERVER");
    if (executable.isEmpty()) executable = QUORVANTEL_SERVER_PATH;
    process_.setProcessEnvironment(environment_);
    process_.setProgram(QString::fromLocal8Bit(executable));
    process_.start();
    return process_.waitForStarted(10000);
}

int ServerProcess::terminate() {
    if (process_.state() == QProcess::NotRunning) return -1;
    ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
    if (!process_.waitForFinished(15000)) return -1;
    standardError();
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

bool ServerProcess::waitForLogLine(const std::string& fragment) {
    return waitFor([&] { return logText().find(fragment) != std::string::npos; });
}

std::string ServerProcess::logText() const {
    std::string text;
    std::error_code error;
    std::vector<std::filesystem::path> files;
    for (std::filesystem::directory_iterator it(folder_ / "logs", error), end; !error && it != end; it.increment(error))
        files.push_back(it->path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        text += content.str();
    }
    return text;
}

std::vector<std::string> ServerProcess::logLines() const {
    std::vector<std::string> lines;
    std::istringstream in(logText());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string ServerProcess::standardError() {
    const QByteArray more = process_.readAllStandardError();
    standardError_.append(more.constData(), static_cast<size_t>(more.size()));
    return standardError_;
}

bool waitFor(const std::function<bool()>& fn) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        if (fn()) return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    return fn();
}

bool portIsFree(int port) {
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, static_cast<quint16>(port));
}

int freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

std::string firstIPv4Address() {
    for (const QHostAddress& address : QNetworkInterface::allAddresses())
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address.toString().toStdString();
    return "127.0.0.1";
}

bool hasTimeStamp(const std::string& line) {
    static const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}: )");
    return std::regex_search(line, stamp);
}

}  // namespace test_support
