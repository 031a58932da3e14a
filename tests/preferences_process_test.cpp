// The preferences database as the real server uses it: the default databases it names are
// offered to clients from the start, and the list is written back when SIGTERM ends the server.

#include "test_support/server_process.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QTcpSocket>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string settingsText(int port) {
    std::ostringstream text;
    text << "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n\n<settings>\n"
         << "     <variable name=\"port\" value=\"" << port << "\" />\n"
         << "     <variable name=\"limit_connections\" value=\"10\" />\n"
         << "     <variable name=\"limit_results_total\" value=\"2000\" />\n"
         << "     <variable name=\"limit_results_database\" value=\"500\" />\n"
         << "     <variable name=\"use_spotlight\" value=\"false\" />\n</settings>\n";
    return text.str();
}

bool exec(const fs::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK &&
              sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// "rowid path" per row, so that a rewrite shows even when the paths stay the same.
std::vector<std::string> storedDefaults(const fs::path& file) {
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT rowid, paths FROM DefDBs ORDER BY rowid", -1, &statement, nullptr) == SQLITE_OK)
        while (sqlite3_step(statement) == SQLITE_ROW)
            rows.push_back(std::to_string(sqlite3_column_int64(statement, 0)) + " " +
                           reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)));
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

// The server's log lives in its application folder, one level below the helper's own folder.
std::vector<std::string> logLines(const fs::path& appFolder) {
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::directory_iterator it(appFolder / "logs", error), end; !error && it != end; it.increment(error))
        files.push_back(it->path());
    std::sort(files.begin(), files.end());
    std::vector<std::string> lines;
    for (const auto& file : files) {
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
    }
    return lines;
}

bool logHas(const fs::path& appFolder, const std::string& fragment) {
    for (const auto& line : logLines(appFolder))
        if (line.find(fragment) != std::string::npos) return true;
    return false;
}

std::vector<std::string> databaseLines(int port) {
    QTcpSocket client;
    client.connectToHost("127.0.0.1", static_cast<quint16>(port));
    if (!client.waitForConnected(5000)) return {"<no connection>"};
    client.write(QByteArray("]':'[vaxo-getlist]':'[D]':'[L"));
    client.flush();
    QByteArray answer;
    test_support::waitFor([&] {
        answer += client.readAll();
        return answer.contains("</answer>\n");
    });
    std::vector<std::string> lines;
    std::istringstream in(answer.toStdString());
    for (std::string line; std::getline(in, line);)
        if (line.rfind("<database ", 0) == 0) lines.push_back(line);
    return lines;
}

TEST(PreferencesProcess, DefaultDatabasesAreOfferedAndWrittenBackAtQuit) {
    const struct {
        const char* what;
        bool removeSecondWhileRunning;
    } cases[] = {{"both files stay", false}, {"the second file is deleted while serving", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test_support::ServerProcess server;
        // The preferences lie in the parent of the application's folder.
        const fs::path appFolder = server.folder();
        const fs::path catalogs = server.parentFolder() / "catalogs";
        const fs::path preferences = server.parentFolder() / "preferences";
        fs::create_directory(catalogs);
        const int port = test_support::freePort();
        server.writeFile("preferences-server.xml", settingsText(port));

        const std::string a = (catalogs / "a.vxo").string(), b = (catalogs / "b.vxo").string();
        for (const auto& file : {a, b}) ASSERT_TRUE(exec(file, "CREATE TABLE files(name TEXT, path TEXT)"));
        // Row ids 7 and 9: a rewrite numbers the rows afresh.
        ASSERT_TRUE(exec(preferences,
                         "CREATE TABLE DefDBs(paths TEXT); CREATE TABLE dbTarget(path TEXT);"
                         "CREATE TABLE useDefDBs(io INTEGER); CREATE TABLE defFont(name TEXT);"
                         "INSERT INTO DefDBs(rowid, paths) VALUES (7, '" + a + "'), (9, '" + b + "');"
                         "INSERT INTO dbTarget VALUES ('" + catalogs.string() + "');"
                         "INSERT INTO useDefDBs VALUES (0); INSERT INTO defFont VALUES ('Geneva');"));

        ASSERT_TRUE(server.start());
        ASSERT_TRUE(test_support::waitFor([&] { return logHas(appFolder, "settings - maxcon:"); })) << server.standardError();
        EXPECT_EQ(databaseLines(port), (std::vector<std::string>{"<database name=\"a.vxo\" path=\"" + a + "\" />",
                                                                 "<database name=\"b.vxo\" path=\"" + b + "\" />"}));
        if (c.removeSecondWhileRunning) fs::remove(b);

        ASSERT_EQ(server.terminate(), 0);
        const std::vector<std::string> written = c.removeSecondWhileRunning ? std::vector<std::string>{"1 " + a}
                                                                            : std::vector<std::string>{"1 " + a, "2 " + b};
        EXPECT_EQ(storedDefaults(preferences), written);
        const auto lines = logLines(appFolder);
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(test_support::hasTimeStamp(lines.back()));
        EXPECT_EQ(lines.back().substr(21), "QUIT ---- Quorvantel server quit");
        // Without a display every message box would show up on standard error.
        EXPECT_EQ(server.standardError().find("quorvantel-server:"), std::string::npos) << server.standardError();
    }
}

}  // namespace
