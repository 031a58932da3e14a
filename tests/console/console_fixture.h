#pragma once
// What the console tests share: a fresh application per test whose folder is private, wired to
// the real console windows and menu bar as the process entry wires them, message boxes recorded
// instead of shown, and loopback clients of its server.

#include "console/console_pictures.h"
#include "console/console_windows.h"
#include "console/dbs_window.h"
#include "console/log_window.h"
#include "console/menu_bar.h"
#include "core/app.h"
#include "core/gfs_state.h"
#include "platform/exception_guard.h"
#include "platform/message_box.h"
#include "platform/ui/canvas.h"
#include "platform/ui/check_box.h"
#include "platform/ui/edit_field.h"
#include "platform/ui/list_box.h"
#include "platform/ui/static_text.h"
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
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace consoletest {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

inline Names namesOf(const std::vector<platform::FolderItem>& files) {
    Names names;
    for (const platform::FolderItem& file : files) names.push_back(file.Name());
    return names;
}

inline std::string readFile(const fs::path& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Processes events until done() holds or about ten seconds pass; returns done().
inline bool waitFor(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline) QTest::qWait(5);
    return done();
}

inline quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

class RecordingPresenter final : public platform::MessagePresenter {
 public:
    explicit RecordingPresenter(std::shared_ptr<Names> messages) : messages_(std::move(messages)) {}
    void showMessage(const std::string& text) override { messages_->push_back(text); }
    void beep() override { messages_->push_back("(beep)"); }
    std::shared_ptr<Names> messages_;
};

// Made before the application, which finds its folder and the system's level in the environment.
struct PrivateFolder {
    explicit PrivateFolder(const char* systemVersion) {
        std::string pattern = (fs::temp_directory_path() / "qv-console-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        root = pattern;
        fs::create_directory(root / "app");
        ::setenv("QUORVANTEL_APP_FOLDER", (root / "app").c_str(), 1);
        ::setenv("QUORVANTEL_SYSTEM_VERSION", systemVersion, 1);
    }
    ~PrivateFolder() {
        ::unsetenv("QUORVANTEL_APP_FOLDER");
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    fs::path root;
};

class ConsoleRun : public PrivateFolder {
 public:
    explicit ConsoleRun(const char* systemVersion = "10.4.11") : PrivateFolder(systemVersion) {
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

    dbswindow& console() { return dbswindow::instance(); }
    std::string settingsFile() const { return readFile(root / "app" / "preferences-server.xml"); }
    // An empty catalog file: the console only ever looks at its path.
    platform::FolderItem file(const std::string& name) const {
        std::ofstream(root / name) << "";
        return platform::FolderItem((root / name).string());
    }
    // Start-up as the process runs it, with a real listener on port.
    void startServer(quint16 port) {
        std::ofstream(root / "app" / "preferences-server.xml")
            << "<settings><variable name=\"port\" value=\"" << port << "\" /></settings>\n";
        application.setListenerFactory([] { return std::make_unique<TCPserverik>(); });
        application.Event_Open();
        messages->clear();
    }

    std::shared_ptr<Names> messages = std::make_shared<Names>();
    app application;
    ConsoleWindows windows;  // releases both windows first when the run ends
};

struct ConsoleTest : ::testing::Test {
    dbswindow& console() { return run.console(); }
    ConsoleRun run;
};

// A client of the console's server on loopback.
class Client {
 public:
    explicit Client(quint16 port) { socket_.connectToHost(QHostAddress::LocalHost, port); }
    bool connected() { return waitFor([this] { return socket_.state() == QAbstractSocket::ConnectedState; }); }
    void send(const std::string& request) { socket_.write(request.data(), static_cast<qint64>(request.size())); }
    // What has come by the end of the first whole answer, or of the connection.
    std::string answer() {
        waitFor([this] {
            return take().find("</answer>") != std::string::npos || socket_.state() == QAbstractSocket::UnconnectedState;
        });
        return received_;
    }
    // What came within a moment, for an answer that must not come.
    std::string answerSoFar() {
        QTest::qWait(300);
        return take();
    }
    void close() { socket_.abort(); }

 private:
    const std::string& take() { return received_ += socket_.readAll().toStdString(); }
    QTcpSocket socket_;
    std::string received_;
};

inline bool listening(quint16 port) {
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    waitFor([&probe] {
        return probe.state() == QAbstractSocket::ConnectedState || probe.state() == QAbstractSocket::UnconnectedState;
    });
    return probe.state() == QAbstractSocket::ConnectedState;
}

// A click of the operator's on a row's check box, or on its name.
inline void clickCheckBox(platform::ui::Listbox& list, int row, int column) {
    QStyleOptionViewItem option;
    option.initFrom(&list);
    option.rect = list.visualRect(list.model()->index(row, column));
    option.features = QStyleOptionViewItem::HasCheckIndicator;
    const QRect box = list.style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, &list);
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, box.center());
    QApplication::processEvents();
}
inline void clickName(platform::ui::Listbox& list, int row) {
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualRect(list.model()->index(row, 0)).center());
    QApplication::processEvents();
}

}  // namespace consoletest
