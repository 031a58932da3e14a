#include "core/app.h"

#include "core/activity_log.h"
#include "core/database_registry.h"
#include "core/gfs_state.h"
#include "core/settings_file.h"
#include "core/system_description.h"
#include "core/text_constants.h"
#include "platform/app_folder.h"
#include "platform/message_box.h"
#include "platform/numbers.h"
#include "platform/server_socket.h"

#include <QCoreApplication>

#include <new>

namespace {
app* theApp = nullptr;
}  // namespace

app& App() { return *theApp; }

app::app() { theApp = this; }

app::~app() {
    if (theApp == this) theApp = nullptr;
}

bool app::Event_UnhandledException(std::exception_ptr exception) {
    try {
        std::rethrow_exception(exception);
    } catch (const std::bad_alloc&) {
        platform::MsgBox("Quorvantel requires more memory.");
        return false;
    } catch (...) {
        platform::Beep();
        return true;
    }
}

void app::Event_Open() {
    gfs::servstatx = "starting up";
    candospotlightstring = gfs::getsystemstring();

    try {
        const auto folder = platform::GetFolderItem("");
        const bool exists = folder && folder->Child(kSettingsFileName).Exists();
        xmlprefs(!exists);
    } catch (...) {
        // The settings keep whatever values they reached; start-up goes on.
        platform::Beep();
    }

    checkPrefs();

    ConsoleAccess& windows = console();
    windows.showConsoleWindow();
    windows.showLogWindow();
    // A window manager gives the console its place and frame only after it has shown it; start-up
    // goes on meanwhile.
    windows.whenWindowsPlaced([&placed = windows] {
        const WindowFrame frame = placed.consoleFrame();
        placed.moveLogWindow(frame.left + frame.width + 10, frame.top);
        placed.showConsoleWindow();
    });

    if (!candospotlight) {
        windows.setControlVisible("sptlgtcnv", false);
        windows.setControlVisible("sptlgtchckbx", false);
        windows.setControlWidth("dataPath", windows.controlWidth("dataPath") + 61);
    }
    if (aaamksptlchck) windows.setControlValue("sptlgtchckbx", true);

    windows.setMenuText("UntitledMenu1", menu0_file());
    windows.setMenuText("UntitledMenu0", menu0_edit());
    windows.setMenuText("FileOpenDatabaseMenu", gfs::butt_opendbfile());
    windows.setMenuText("FileShowlogwindow", menu_showlogwin());

    gfs::servstatx = "Quorvantel server starting up";
    startListening();
    const std::string address = gfs::serverisko ? gfs::serverisko->LocalAddress() : std::string();
    const int32_t port = gfs::serverisko ? gfs::serverisko->Port() : PREFportnumber.load();
    windows.setControlText("ipcka", address);
    windows.setControlText("portik", platform::Str(port));
    gfs::servstatx = "ready";

    gfs::logujakciu("START ---- server is ready - " + address + ":" + platform::Str(port));
    gfs::logujakciu("settings - maxcon:" + platform::Str(PREFmaxconnections.load()) +
                    " / maxrestotal:" + platform::Str(PREFmaxresultstotal.load()) +
                    " / maxresdb:" + platform::Str(PREFmaxresultsdatabase.load()));
}

void app::startListening() {
    if (!listenerFactory_) return;
    gfs::serverisko = listenerFactory_();
    gfs::serverisko->SetPort(PREFportnumber);
    gfs::serverisko->SetMaximumSocketsConnected(PREFmaxconnections);
    gfs::serverisko->Listen();
}

void app::Event_Close() {
    writePrefs(prefsFoit, true, false);
    gfs::logujakciu("QUIT ---- Quorvantel server quit");
    QCoreApplication::exit(0);
}

void app::Event_Activate() {
    console().setLogWindowVisible(false);
    console().setLogWindowVisible(true);
}

void app::Quit() {
    if (quitting_) return;
    quitting_ = true;
    Event_Close();
}

bool app::_FileQuit_Action() {
    Quit();
    return false;
}

bool app::_EditSelectAll_Action() {
    if (selectAll_) selectAll_();
    return false;
}

bool app::_FileOpenDatabaseMenu_Action() {
    const auto f = gfs::getDatabaseFile();
    if (f && f->Exists()) {
        const auto parent = f->Parent();
        if (!parent || !parent->Locked()) gfs::addNewDatabase(f, true);
    }
    return false;
}

bool app::_FileShowlogwindow_Action() {
    console().showLogWindow();
    return false;
}
