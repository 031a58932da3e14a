#pragma once
// Shared by the core tests: one application object in a private folder, with fakes that record
// what the operator would have seen, and small file and SQLite helpers.

#include "core/app.h"
#include "core/file_types.h"
#include "core/gfs_state.h"
#include "platform/message_box.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace qvtest {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// Sets (nullptr: unsets) an environment variable for a scope.
struct ScopedEnv {
    ScopedEnv(const char* name, const char* value) : name(name), old(std::getenv(name) ? std::getenv(name) : "") {
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old.empty() ? ::unsetenv(name.c_str()) : ::setenv(name.c_str(), old.c_str(), 1); }
    std::string name, old;
};

inline std::string readFile(const fs::path& file) {
    std::ostringstream text;
    text << std::ifstream(file, std::ios::binary).rdbuf();
    return text.str();
}
inline void writeFile(const fs::path& file, const std::string& content) { std::ofstream(file, std::ios::binary) << content; }

// All log files in name order, each well-formed time stamp shown as "*".
inline std::string logText(const fs::path& logs) {
    std::string text;
    if (fs::is_directory(logs))
        for (const fs::path& file : std::set<fs::path>(fs::directory_iterator(logs), {})) text += readFile(file);
    return std::regex_replace(text, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d: )"), "* ");
}

// A connection of the test's own: each call runs SQL and gives the first column of its rows.
struct Sql {
    explicit Sql(const fs::path& file) { sqlite3_open(file.c_str(), &db_); }
    ~Sql() { sqlite3_close(db_); }
    Strings operator()(const std::string& sql) {
        Strings rows;
        const auto add = [](void* out, int, char** values, char**) {
            return static_cast<Strings*>(out)->emplace_back(values[0] ? values[0] : "<null>"), 0;
        };
        if (sqlite3_exec(db_, sql.c_str(), add, &rows, nullptr)) ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
        return rows;
    }
    sqlite3* db_ = nullptr;
};

inline std::string makeCatalog(const fs::path& file) {
    return Sql{file}("CREATE TABLE files(name TEXT, path TEXT)"), file.string();
}

// What the operator would have seen: each message, and "<beep>" for a beep.
struct RecordingPresenter final : platform::MessagePresenter {
    explicit RecordingPresenter(std::shared_ptr<Strings> into) : shown(std::move(into)) {}
    void showMessage(const std::string& text) override { shown->push_back(text); }
    void beep() override { shown->push_back("<beep>"); }
    std::shared_ptr<Strings> shown;
};

// Records the calls that matter as one text each; answers the open dialog as told.
struct RecordingConsole final : NoConsole {
    Strings calls;
    std::optional<std::string> answer;
    std::optional<OpenDialogRequest> asked;
    void note(std::string call) { calls.push_back(std::move(call)); }

    void showConsoleWindow() override { note("showConsoleWindow"); }
    WindowFrame consoleFrame() override { return {100, 40, 350, 450}; }
    void showLogWindow() override { note("showLogWindow"); }
    void moveLogWindow(int left, int top) override { note("moveLogWindow " + std::to_string(left) + " " + std::to_string(top)); }
    void setControlVisible(std::string_view c, bool v) override { note("hide " + std::string(c) + (v ? " no" : "")); }
    int controlWidth(std::string_view) override { return 300; }
    void setControlWidth(std::string_view c, int width) override { note(std::string(c) + " " + std::to_string(width)); }
    void setControlValue(std::string_view c, bool v) override { note("check " + std::string(c) + (v ? "" : " no")); }
    void aktualizacia() override { note("aktualizacia"); }
    std::pair<int, int> mainScreenSize() override { return {1024, 768}; }
    std::optional<std::string> showOpenDialog(const OpenDialogRequest& request) override { return asked = request, answer; }
    long count(const std::string& call) const { return std::count(calls.begin(), calls.end(), call); }
};

// One application object whose folder (QUORVANTEL_APP_FOLDER) lies in a private temporary root,
// since the server also looks beside that folder for "preferences".
struct CoreRun {
    explicit CoreRun(const char* systemVersion = "10.4.11") : versionEnv("QUORVANTEL_SYSTEM_VERSION", systemVersion) {
        fs::create_directories(root / "app");
        fs::create_directories(root / "catalogs");
        platform::setMessagePresenter(std::make_unique<RecordingPresenter>(shown));
        application.setConsole(&console);
        FileTypes::_Initialize();
    }
    ~CoreRun() {
        for (const auto& path : locked)
            if (std::system(("chattr -i '" + path.string() + "' 2>/dev/null").c_str())) {}
        application.setConsole(nullptr);
        gfs::releaseModuleState();
        FileTypes::release();
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    static fs::path makeRoot() {
        std::string pattern = (fs::temp_directory_path() / "qv-core-XXXXXX").string();
        return ::mkdtemp(pattern.data()) ? pattern : throw std::runtime_error("mkdtemp");
    }
    fs::path folder() const { return root / "app"; }
    fs::path settings() const { return root / "app" / "preferences-server.xml"; }
    fs::path preferences() const { return root / "preferences"; }
    std::string catalog(const std::string& name) const { return makeCatalog(root / "catalogs" / name); }
    // As root, permissions stop no write; the immutable flag does, until the run ends.
    bool lock(const fs::path& path) {
        locked.push_back(path);
        return !std::system(("chattr +i '" + path.string() + "' 2>/dev/null").c_str());
    }

    const fs::path root = makeRoot();
    ScopedEnv folderEnv{"QUORVANTEL_APP_FOLDER", (root / "app").c_str()}, versionEnv;
    std::shared_ptr<Strings> shown = std::make_shared<Strings>();
    RecordingConsole console;
    app application;
    std::vector<fs::path> locked;
};

}  // namespace qvtest
