// Process entry: builds the file types, the application object and the console, wires the
// layers together, and runs the event loop until the server quits.

#include "console/console_windows.h"
#include "console/log_window.h"
#include "console/menu_bar.h"
#include "core/activity_log.h"
#include "core/app.h"
#include "core/file_types.h"
#include "core/gfs_state.h"
#include "platform/app_folder.h"
#include "platform/display.h"
#include "platform/exception_guard.h"
#include "platform/line_writer.h"
#include "platform/localized_string.h"
#include "platform/qt_message_filter.h"
#include "platform/quit_signals.h"
#include "platform/regular_file_vfs.h"
#include "platform/ui/widget_message_presenter.h"
#include "search/searchmaster.h"
#include "search/tcp_serverik.h"

#include <QApplication>
#include <QTimer>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

int main(int argc, char* argv[]) {
    platform::ignoreBrokenPipes();
    platform::chooseOffscreenPlatformWithoutDisplay();
    platform::leaveOutOffscreenPlatformNotes();
    // The engine's file layer is set up before any other thread can open a database.
    platform::regularFileVfsName();
    QApplication application(argc, argv);
    // The console window's close quits through the application object, not through Qt.
    QApplication::setQuitOnLastWindowClosed(false);
    platform::installWidgetMessagesWithDisplay();
    platform::installTranslations(platform::ApplicationFolder());

    FileTypes::_Initialize();
    app server;
    platform::setUnhandledExceptionHandler([&server](std::exception_ptr e) { return server.Event_UnhandledException(e); });
    platform::ui::SetApplicationMenuBar(&Menu::instance());
    _ApplicationAddMenuHandlers();
    server.setSelectAllHandler(gfs::Gvybervsetko);

    // Headless, nobody sees the log window: what it shows goes to standard output as well.
    std::unique_ptr<platform::LineWriter> standardOutput;
    if (!platform::hasDisplay()) {
        standardOutput = std::make_unique<platform::LineWriter>(STDOUT_FILENO);
        logswindow::echoTo(standardOutput.get());
    }
    ConsoleWindows console;
    server.setConsole(&console);
    gfs::setLogWindowSink([&console](const std::string& text) { console.appendLogText(text); });
    server.setListenerFactory([] { return std::make_unique<TCPserverik>(); });

    platform::installQuitSignalHandlers([&server] { platform::guarded([&server] { server._FileQuit_Action(); }); });
    QObject::connect(&application, &QGuiApplication::applicationStateChanged, [&server](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive) platform::guarded([&server] { server.Event_Activate(); });
    });
    QTimer::singleShot(0, [&server] { platform::guarded([&server] { server.Event_Open(); }); });

    const int status = QApplication::exec();
    gfs::deliverLogWindowText();

    // The defaults are saved and the quit logged by now. A worker that does not end within this
    // (a long search, a call that never returns) is not waited for: the process ends around it,
    // once what the log window showed has reached standard output.
    if (!searchmaster::shutdown(std::chrono::seconds(2))) {
        logswindow::echoTo(nullptr);
        standardOutput.reset();
        // No stdio flush: a worker stuck in a write to standard error would hold its lock. Standard
        // output goes through the line writer, and standard error is unbuffered.
        std::_Exit(status);
    }
    platform::ui::ClearMenuHandlers();
    Menu::release();

    gfs::setLogWindowSink(nullptr);
    logswindow::echoTo(nullptr);
    gfs::releaseModuleState();
    FileTypes::release();
    return status;
}
