#pragma once
// What the console tests share: a folder of their own for catalog files and the application's
// folder, message boxes recorded instead of shown, a fresh application object with the real
// console windows and menu bar for every test, released again at its end, and clients that
// talk to the console's server over loopback TCP.

#include "console/console_windows.h"
#include "console/dbs_window.h"
#include "console/log_window.h"
#include "console/menu_bar.h"
#include "core/app.h"
#include "core/gfs_state.h"
#include "platform/exception_guard.h"
#include "platform/message_box.h"
#include "platform/ui_listbox.h"
#include "search/tcp_serverik.h"

#include <QApplication>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
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

// Processes events until done() holds or about ten seconds pass; returns done().
inline bool waitFor(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline) QTest::qWait(5);
    return done();
}

// A port that nothing listens on just now.
inline quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// One run of the console: an application object whose folder is private, the real console
// windows and menu bar wired as the process entry wires them, and message boxes recorded.
// Windows, menus and module state are put back at its end.
class ConsoleRun {
 public:
    ConsoleRun() : appFolder_("QUORVANTEL_APP_FOLDER", makeAppFolder(folder).c_str()) {
        dbswindow::release();
        logswindow::release();
        platform::setMessagePresenter(std::make_unique<RecordingPresenter>(messages));
        application.setConsole(&windows);
        platform::setUnhandledExceptionHandler(
            [this](std::exception_ptr e) { return application.Event_UnhandledException(e); });
        platform::ui::SetApplicationMenuBar(&Menu::instance());
        _ApplicationAddMenuHandlers();
        application.setSelectAllHandler(gfs::Gvybervsetko);
    }
    ~ConsoleRun() {
        platform::setUnhandledExceptionHandler(nullptr);
        platform::ui::ClearMenuHandlers();
        Menu::release();
        gfs::vyberVsetkoEF = nullptr;
        gfs::serverisko.reset();
        application.setConsole(nullptr);
        gfs::spotlightSwitchMirror = false;
        gfs::servstatx.clear();
    }
    ConsoleRun(const ConsoleRun&) = delete;
    ConsoleRun& operator=(const ConsoleRun&) = delete;

    dbswindow& console() { return dbswindow::instance(); }
    fs::path appFolder() const { return folder.path() / "app"; }
    std::string settingsFile() const { return readFile(appFolder() / "preferences-server.xml"); }

    // Start-up as the process runs it, with a real listener on port.
    void startServer(quint16 port) {
        std::ofstream(appFolder() / "preferences-server.xml")
            << "<settings><variable name=\"port\" value=\"" << port << "\" /></settings>\n";
        application.setListenerFactory([] { return std::make_unique<TCPserverik>(); });
        application.Event_Open();
        messages->clear();
    }

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

// A client of the console's server on loopback.
class Client {
 public:
    explicit Client(quint16 port) { socket_.connectToHost(QHostAddress::LocalHost, port); }
    bool connected() { return waitFor([this] { return socket_.state() == QAbstractSocket::ConnectedState; }); }
    void send(const std::string& request) { socket_.write(request.data(), static_cast<qint64>(request.size())); }
    // What has come by the end of the first whole answer, or by the end of the connection.
    std::string answer() {
        waitFor([this] {
            takeWhatArrived();
            return received_.find("</answer>") != std::string::npos ||
                   socket_.state() == QAbstractSocket::UnconnectedState;
        });
        return received_;
    }
    // Room for an answer that must not come to show itself.
    std::string answerSoFar() {
        QTest::qWait(300);
        takeWhatArrived();
        return received_;
    }
    void close() { socket_.abort(); }

 private:
    void takeWhatArrived() { received_ += socket_.readAll().toStdString(); }
    QTcpSocket socket_;
    std::string received_;
};

// Whether a client can connect to port on loopback now.
inline bool listening(quint16 port) {
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    waitFor([&probe] {
        return probe.state() == QAbstractSocket::ConnectedState || probe.state() == QAbstractSocket::UnconnectedState;
    });
    return probe.state() == QAbstractSocket::ConnectedState;
}

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
