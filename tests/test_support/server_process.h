#pragma once
// Runs the real server executable in a temporary application folder for a test, without a
// display, and reads what it leaves: its log lines, its files and its standard error.
// Main thread of the test only.

#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace test_support {

class ServerProcess {
 public:
    ServerProcess();
    ~ServerProcess();  // kills a server still running and removes the folder
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // The application's folder, alone in a private parent that holds nothing else unless a test
    // puts a preferences database there: no shared folder is ever read.
    const std::filesystem::path& folder() const { return folder_; }
    const std::filesystem::path& parentFolder() const { return parent_; }
    void writeFile(const std::string& name, const std::string& content) const;
    void setEnvironment(const QString& name, const QString& value);

    bool start();
    int terminate();  // SIGTERM, then the exit status (-1 when it did not end by itself)
    bool waitForLogLine(const std::string& fragment);
    std::string logText() const;
    std::vector<std::string> logLines() const;
    std::string standardError();

 private:
    std::filesystem::path parent_;
    std::filesystem::path folder_;
    QProcessEnvironment environment_;
    QProcess process_;
    std::string standardError_;
};

// Polls fn, processing events, until it holds or about ten seconds pass.
bool waitFor(const std::function<bool()>& fn);

bool portIsFree(int port);
int freePort();
std::string firstIPv4Address();
bool hasTimeStamp(const std::string& line);  // "YYYY-MM-DD HH:MM:SS: "

}  // namespace test_support
