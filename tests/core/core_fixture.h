#pragma once
// Shared by the core tests: one application object in a private folder, with fakes that record
// what the operator would have seen, and small file and SQLite helpers.

#include "core/app.h"
#include "core/file_types.h"
#include "core/gfs_state.h"
#include "platform/message_box.h"
#include "test_support/files.h"
#include "test_support/recording_presenter.h"
#include "test_support/sqlite_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <list>

namespace qvtest {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

using test_support::logText, test_support::readFile, test_support::RecordingPresenter, test_support::ScopedEnv,
    test_support::Sql, test_support::writeFile;

inline std::string makeCatalog(const fs::path& file) {
    return Sql{file}("CREATE TABLE files(name TEXT, path TEXT)"), file.string();
}

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
        application.setConsole(nullptr);
        gfs::releaseModuleState();
        FileTypes::release();
    }
    fs::path folder() const { return root / "app"; }
    fs::path settings() const { return root / "app" / "preferences-server.xml"; }
    fs::path preferences() const { return root / "preferences"; }
    std::string catalog(const std::string& name) const { return makeCatalog(root / "catalogs" / name); }
    // As root, permissions stop no write; the immutable flag does, until the run ends.
    bool lock(const fs::path& path) { return locked.emplace_back(path).active(); }

    const test_support::TemporaryFolder temporary{"qv-core"};
    const fs::path root = temporary.path();
    ScopedEnv folderEnv{"QUORVANTEL_APP_FOLDER", (root / "app").c_str()}, versionEnv;
    std::shared_ptr<Strings> shown = std::make_shared<Strings>();
    RecordingConsole console;
    app application;
    std::list<test_support::Immutable> locked;  // unlocked first, before the folder goes
};

}  // namespace qvtest
