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
#include "test_support/files.h"
#include "test_support/loop_client.h"
#include "test_support/waiting.h"

#include <QApplication>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace consoletest {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;
using test_support::freePort, test_support::listening, test_support::readFile, test_support::ScopedEnv,
    test_support::waitFor;

inline Names namesOf(const std::vector<platform::FolderItem>& files) {
    Names names;
    for (const platform::FolderItem& file : files) names.push_back(file.Name());
    return names;
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
    explicit PrivateFolder(const char* systemVersion) : versionEnv("QUORVANTEL_SYSTEM_VERSION", systemVersion) {
        fs::create_directory(root / "app");
    }
    const test_support::TemporaryFolder temporary{"qv-console"};
    fs::path root = temporary.path();
    ScopedEnv folderEnv{"QUORVANTEL_APP_FOLDER", (root / "app").c_str()}, versionEnv;
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

    // Start-up's windows as the desktop leaves them: the log window placed 10 pixels right of the
    // console's frame and at its top, and then the console brought to the front.
    bool logWindowBeside() {
        const QRect shown = console().frameGeometry(), placed = logswindow::instance().frameGeometry();
        return placed.left() == shown.right() + 1 + 10 && placed.top() == shown.top();
    }
    bool settledAfterStart() {
        return waitFor([this] { return logWindowBeside() && console().isActiveWindow(); });
    }

    std::shared_ptr<Names> messages = std::make_shared<Names>();
    app application;
    ConsoleWindows windows;  // releases both windows first when the run ends
};

struct ConsoleTest : ::testing::Test {
    // The desktop activates a new window a while after showing it, and each activation rebuilds
    // the list, which names a lost default again: a test starts once the console is active.
    void SetUp() override {
        console().activateWindow();
        ASSERT_TRUE(waitFor([this] { return console().isActiveWindow(); }));
    }
    dbswindow& console() { return run.console(); }
    ConsoleRun run;
};

// A client of the console's server on loopback.
struct Client : test_support::LoopClient {
    using LoopClient::LoopClient;
    std::string answer() { return readUntil("</answer>"); }  // by the end of the first answer or of the connection
    std::string answerSoFar() { return readFor(std::chrono::milliseconds(300)); }  // for an answer that must not come
};

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
