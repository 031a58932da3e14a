// The server as an operator runs it: the real executable in a temporary application folder,
// without a display, checked through its files, its port and its exit status.

#include "test_support/server_process.h"

#include <gtest/gtest.h>

#include <QTcpSocket>

#include <fstream>
#include <sstream>

namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
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

bool acceptsConnections(int port) {
    QTcpSocket client;
    client.connectToHost("127.0.0.1", static_cast<quint16>(port));
    return client.waitForConnected(3000);
}

TEST(ServerProcess, FirstStartWritesDefaultsLogsAndQuitsOnSigterm) {
    test_support::ServerProcess server;
    if (!test_support::portIsFree(7000)) GTEST_SKIP() << "port 7000 is taken on this machine";
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(server.waitForLogLine("settings - maxcon:"));

    EXPECT_EQ(readFile(server.folder() / "preferences-server.xml"), settingsText(7000, 10, 2000, 500));
    const std::vector<std::string> lines = server.logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(test_support::hasTimeStamp(lines[0]));
    EXPECT_EQ(lines[0].substr(21), "START ---- server is ready - " + test_support::firstIPv4Address() + ":7000");
    EXPECT_EQ(lines[1].substr(21), "settings - maxcon:10 / maxrestotal:2000 / maxresdb:500");
    EXPECT_TRUE(acceptsConnections(7000));

    ASSERT_EQ(server.terminate(), 0);
    const std::vector<std::string> after = server.logLines();
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[2].substr(21), "QUIT ---- Quorvantel server quit");
}

TEST(ServerProcess, SettingsFileChoosesPortAndLimits) {
    test_support::ServerProcess server;
    const int port = test_support::freePort();
    server.writeFile("preferences-server.xml", settingsText(port, 10, 900, 500));
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(server.waitForLogLine("settings - maxcon:"));
    EXPECT_NE(server.logText().find(":" + std::to_string(port) + "\n"), std::string::npos);
    EXPECT_NE(server.logText().find("maxrestotal:900 / maxresdb:500"), std::string::npos);
    EXPECT_TRUE(acceptsConnections(port));
    EXPECT_EQ(server.terminate(), 0);
    // The file is not rewritten at start or at quit.
    EXPECT_EQ(readFile(server.folder() / "preferences-server.xml"), settingsText(port, 10, 900, 500));
}

TEST(ServerProcess, MalformedSettingsNeverStopStartUp) {
    const int port = test_support::freePort();
    const std::string portElement = "<variable name=\"port\" value=\"" + std::to_string(port) + "\" />";
    const struct {
        const char* name;
        std::string content;
        const char* expectedSettingsLine;
    } cases[] = {
        {"no closing of the last element",
         "<settings>" + portElement + "<variable name=\"limit_connections\" value=\"3\"", "maxcon:10 /"},
        {"values that are no numbers",
         "<settings>" + portElement + "<variable name=\"limit_connections\" value=\"many\" />", "maxcon:0 /"},
        {"a duplicate name, the later wins",
         "<settings>" + portElement +
             "<variable name=\"limit_results_total\" value=\"5\" /><variable name=\"limit_results_total\" value=\"6\" />",
         "maxrestotal:6 /"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::ServerProcess server;
        server.writeFile("preferences-server.xml", c.content);
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(server.waitForLogLine("settings - maxcon:"));
        EXPECT_NE(server.logText().find(c.expectedSettingsLine), std::string::npos) << server.logText();
        EXPECT_TRUE(acceptsConnections(port));
        EXPECT_EQ(server.terminate(), 0);
    }
}

TEST(ServerProcess, SettingsFileThatCannotBeReadLeavesDefaults) {
    test_support::ServerProcess server;
    if (!test_support::portIsFree(7000)) GTEST_SKIP() << "port 7000 is taken on this machine";
    std::filesystem::create_directory(server.folder() / "preferences-server.xml");
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(server.waitForLogLine("settings - maxcon:10 / maxrestotal:2000 / maxresdb:500"));
    EXPECT_EQ(server.terminate(), 0);
}

TEST(ServerProcess, UnwritableLogFolderKeepsServing) {
    test_support::ServerProcess server;
    const int port = test_support::freePort();
    server.writeFile("preferences-server.xml", settingsText(port, 10, 2000, 500));
    server.writeFile("logs", "not a folder");
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(test_support::waitFor([&] { return acceptsConnections(port); }));
    EXPECT_EQ(readFile(server.folder() / "logs"), "not a folder");
    EXPECT_EQ(server.terminate(), 0);
}

TEST(ServerProcess, PortInUseIsReportedAndStartUpGoesOn) {
    test_support::ServerProcess server;
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, 0));
    const int port = occupant.serverPort();
    server.writeFile("preferences-server.xml", settingsText(port, 10, 2000, 500));
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(server.waitForLogLine("settings - maxcon:"));
    EXPECT_NE(server.logText().find(":" + std::to_string(port) + "\n"), std::string::npos);
    // Without a display the message box with the error code goes to standard error.
    ASSERT_TRUE(test_support::waitFor([&] { return server.standardError().find("quorvantel-server: 8") != std::string::npos; }))
        << server.standardError();
    EXPECT_EQ(server.terminate(), 0);
}

}  // namespace
