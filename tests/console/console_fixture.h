#pragma once
// What the console tests share: a folder of their own for catalog files and the application's
// folder, message boxes recorded instead of shown, and a fresh application object with the real
// console windows for every test, released again at its end.

#include "console/console_windows.h"
#include "console/dbs_window.h"
#include "console/log_window.h"
#include "core/app.h"
#include "core/gfs_state.h"
#include "platform/message_box.h"
#include "platform/ui_listbox.h"

#include <QApplication>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace consoletest {

namespace fs = std::filesystem;

// Sets (or, with nullptr, unsets) an environment variable for a scope.
class ScopedEnv {
 public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_.c_str(), old_->c_str(), 1) : ::unsetenv(name_.c_str()); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
    std::string name_;
    std::optional<std::string> old_;
};

// A private temporary folder, removed with everything in it.
class TempFolder {
 public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "qv-console-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        root_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const fs::path& path() const { return root_; }

    // An (empty) catalog file; the console only ever looks at its path.
    platform::FolderItem file(const std::string& relative) const {
        const fs::path full = root_ / relative;
        fs::create_directories(full.parent_path());
        std::ofstream(full) << "";
        return platform::FolderItem(full.string());
    }

 private:
    fs::path root_;
};

class RecordingPresenter final : public platform::MessagePresenter {
 public:
    explicit RecordingPresenter(std::shared_ptr<std::vector<std::string>> messages) : messages_(std::move(messages)) {}
    void showMessage(const std::string& text) override { messages_->push_back(text); }
    void beep() override { messages_->push_back("(beep)"); }

 private:
    std::shared_ptr<std::vector<std::string>> messages_;
};

// One run of the console: an application object whose folder is private, the real console
// windows, and message boxes recorded. Windows and module state are put back at its end.
class ConsoleRun {
 public:
    ConsoleRun() : appFolder_("QUORVANTEL_APP_FOLDER", makeAppFolder(folder).c_str()) {
        dbswindow::release();
        logswindow::release();
        platform::setMessagePresenter(std::make_unique<RecordingPresenter>(messages));
        application.setConsole(&windows);
    }
    ~ConsoleRun() {
        application.setConsole(nullptr);
        gfs::spotlightSwitchMirror = false;
        gfs::servstatx.clear();
    }
    ConsoleRun(const ConsoleRun&) = delete;
    ConsoleRun& operator=(const ConsoleRun&) = delete;

    dbswindow& console() { return dbswindow::instance(); }
    fs::path appFolder() const { return folder.path() / "app"; }

    std::shared_ptr<std::vector<std::string>> messages = std::make_shared<std::vector<std::string>>();
    TempFolder folder;

 private:
    static std::string makeAppFolder(const TempFolder& folder) {
        fs::create_directory(folder.path() / "app");
        return (folder.path() / "app").string();
    }
    ScopedEnv appFolder_;

 public:
    app application;
    ConsoleWindows windows;  // releases both windows first when the run ends
};

class ConsoleTest : public ::testing::Test {
 protected:
    dbswindow& console() { return run.console(); }
    ConsoleRun run;
};

// A click of the operator's on a row's check box, then the event loop's turn.
inline void clickCheckBox(platform::ui::Listbox& list, int row, int column) {
    const QModelIndex index = list.model()->index(row, column);
    QStyleOptionViewItem option;
    option.initFrom(&list);
    option.rect = list.visualRect(index);
    option.features = QStyleOptionViewItem::HasCheckIndicator;
    const QRect box = list.style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, &list);
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, box.center());
    QApplication::processEvents();
}

// A click on a row's name.
inline void clickName(platform::ui::Listbox& list, int row) {
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualRect(list.model()->index(row, 0)).center());
    QApplication::processEvents();
}

}  // namespace consoletest
