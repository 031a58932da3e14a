#include "test_support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTcpServer>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>

namespace test_support {

namespace fs = std::filesystem;

namespace {
fs::path makeTemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "quorvantel-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    return pattern;
}

// Runs SQL on a database file, made when missing; the first column of each row goes to `rows`.
bool executeSql(const fs::path& file, const std::string& sql, std::vector<std::string>* rows = nullptr) {
    const auto collect = [](void* rows, int, char** values, char**) {
        static_cast<std::vector<std::string>*>(rows)->emplace_back(values[0] ? values[0] : "");
        return 0;
    };
    sqlite3* db = nullptr;
    const bool ok = sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
                    sqlite3_exec(db, sql.c_str(), rows ? +collect : nullptr, rows, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}
}  // namespace

ServerProcess::ServerProcess() : parent_(makeTemporaryFolder()), folder_(parent_ / "app") {
    fs::create_directory(folder_);
}

ServerProcess::~ServerProcess() {
    if (process_.state() != QProcess::NotRunning) process_.kill();
    process_.waitForFinished(5000);
    std::error_code ignored;
    fs::remove_all(parent_, ignored);
}

void ServerProcess::writeFile(const std::string& name, const std::string& content) const {
    std::ofstream(folder_ / name, std::ios::binary) << content;
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

std::string ServerProcess::logText() const {
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::directory_iterator it(folder_ / "logs", error), end; !error && it != end; it.increment(error))
        files.push_back(it->path());
    std::sort(files.begin(), files.end());
    std::string text;
    for (const auto& file : files) text += readFile(file);
    return text;
}

std::string ServerProcess::standardError() { return standardError_ += process_.readAllStandardError().toStdString(); }

std::string ServerProcess::standardOutput() {
    return standardOutput_ += process_.readAllStandardOutput().toStdString();
}

bool waitFor(const std::function<bool()>& fn) {
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         std::chrono::steady_clock::now() < end; QThread::msleep(20)) {
        if (fn()) return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return fn();
}

bool portIsFree(int port) { return QTcpServer().listen(QHostAddress::Any, static_cast<quint16>(port)); }

DefaultPortLock::DefaultPortLock() : fd_(::open("/tmp/quorvantel-tests-default-port.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
}

DefaultPortLock::~DefaultPortLock() {
    if (fd_ >= 0) ::close(fd_);
}

int freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string settingsText(int port, int connections, int total, int perDatabase) {
    std::ostringstream text;
    text << "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n\n<settings>\n"
         << "     <variable name=\"port\" value=\"" << port << "\" />\n"
         << "     <variable name=\"limit_connections\" value=\"" << connections << "\" />\n"
         << "     <variable name=\"limit_results_total\" value=\"" << total << "\" />\n"
         << "     <variable name=\"limit_results_database\" value=\"" << perDatabase << "\" />\n"
         << "     <variable name=\"use_spotlight\" value=\"false\" />\n</settings>\n";
    return text.str();
}

bool makeCatalog(const fs::path& file, int rows, int matchEvery) {
    std::error_code ignored;
    fs::remove(file, ignored);
    // One statement builds all rows, so that a catalog of some hundred thousand rows is quick.
    return executeSql(file,
                      "BEGIN; CREATE TABLE disks(disk, dtype, dname, dlabel, dpath, dd);"
                      "INSERT INTO disks VALUES (1, 'HD', 'Work', 'Label', '/Volumes/Work', '2020');"
                      "CREATE TABLE paths(ppath, name, itype, disk, size, dcr, dmd, vis, mt, mc);"
                      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                          std::to_string(rows) + ") INSERT INTO paths SELECT '/Volumes/Work/folder' || (i / 100), " +
                          "CASE WHEN i % " + std::to_string(matchEvery) +
                          " = 0 THEN 'needle' || i ELSE 'file' || i || " +
                          "'.dat' END, 'file', 1, i, 3000000000, 3000000001, 'true', 'TEXT', 'ttxt' FROM n; COMMIT;");
}

bool writePreferences(const fs::path& file, const std::vector<std::string>& defaults) {
    std::string sql =
        "CREATE TABLE DefDBs(paths TEXT); CREATE TABLE dbTarget(path TEXT); CREATE TABLE defFont(name TEXT);"
        "CREATE TABLE useDefDBs(io INTEGER); INSERT INTO useDefDBs VALUES (0);";
    for (size_t i = 0; i < defaults.size(); ++i)
        sql += "INSERT INTO DefDBs(rowid, paths) VALUES (" + std::to_string(7 + i) + ", '" + defaults[i] + "');";
    return executeSql(file, sql);
}

std::vector<std::string> storedDefaults(const fs::path& preferences) {
    std::vector<std::string> rows;
    executeSql(preferences, "SELECT rowid || ' ' || paths FROM DefDBs ORDER BY rowid", &rows);
    return rows;
}

std::string request(const std::string& command, const std::vector<std::string>& paths, const std::string& condition,
                    const std::string& view) {
    std::string joined, text;
    for (const auto& path : paths) joined += (joined.empty() ? "" : "::") + path;
    const std::string fields[] = {"", command, "fault test", "tester", "", joined, condition, view, ""};
    for (size_t i = 0; i < std::size(fields); ++i) text += (i ? "]':'[" : "") + fields[i];
    return text;
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

bool isCompleteSearchAnswer(const std::string& answer) {
    return answer.starts_with(
               "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n\n<result>\n\t<description ") &&
           answer.ends_with("\t</records>\n</result>\n") && answer.find(" />\n\t<records>\n") != std::string::npos;
}

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(prefix)) lines.push_back(line);
    return lines;
}

std::map<std::string, int> recordsPerCatalog(const std::string& answer) {
    std::map<std::string, int> counts;
    for (const std::string& line : linesStartingWith(answer, "\t\t<record ")) {
        const size_t start = line.find(" disk=\"") + 7;
        const std::string disk = line.substr(start, line.find('"', start) - start);
        ++counts[disk.substr(disk.rfind("::/::") + 5)];
    }
    return counts;
}

}  // namespace test_support
