#pragma once
// The one application object: the server's shared state as its properties, the start-up and
// quit sequence as its events, and the handlers of the application's menu commands.
// Main thread, except where a member says otherwise: the request queue is guarded by
// queueMutex, and the four numeric settings are atomics that the worker may read at any time.

#include "core/console_access.h"
#include "platform/folder_item.h"
#include "platform/tcp_socket.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class ServerSocket;
}

class app {
 public:
    app();
    ~app();
    app(const app&) = delete;
    app& operator=(const app&) = delete;

    // Events, raised by the process entry and the event loop.
    bool Event_UnhandledException(std::exception_ptr exception);
    void Event_Close();
    void Event_Open();
    void Event_Activate();

    // Menu handlers; each returns false, leaving the command unconsumed.
    bool _FileQuit_Action();
    bool _EditSelectAll_Action();
    bool _FileOpenDatabaseMenu_Action();
    bool _FileShowlogwindow_Action();

    // Preferences database (start-up and quit).
    void checkPrefs();
    void writePrefs(const std::optional<platform::FolderItem>& f, bool doWrite, bool unused);
    bool readPrefs(const platform::FolderItem& f);
    void nacitavamDefFolder(const std::optional<platform::FolderItem>& folder);

    // Settings file: writes it (writeFile true) or reads it, writing the defaults first when it is missing.
    void xmlprefs(bool writeFile);

    // Asks the event loop to quit with exit code 0, running Event_Close once.
    void Quit();
    bool isQuitting() const { return quitting_; }

    // Localised text constants owned by the application object.
    static std::string msg_nopreffile();
    static std::string msg_defdblisterror();
    static std::string menu_showlogwin();
    static std::string menu0_edit();
    static std::string menu0_file();
    static std::string kEditClear();
    static std::string kEditCopy();
    static std::string kEditCut();
    static std::string kEditPaste();
    static std::string kEditSelectAll();
    static std::string kFileQuit();

    // Wiring made by the process entry before the event loop starts.
    void setConsole(ConsoleAccess* console) { console_ = console ? console : &noConsole_; }
    ConsoleAccess& console() { return *console_; }
    using ListenerFactory = std::function<std::unique_ptr<platform::ServerSocket>()>;
    void setListenerFactory(ListenerFactory factory) { listenerFactory_ = std::move(factory); }
    using SelectAllHandler = std::function<void()>;
    void setSelectAllHandler(SelectAllHandler handler) { selectAll_ = std::move(handler); }

    // Shared state.
    std::vector<platform::FolderItem> databases;     // registered and marked for search
    std::vector<platform::FolderItem> defDatabases;  // registered and default
    std::optional<platform::FolderItem> prefsFoit;   // the preferences database file
    // Set when start-up could not read the stored default list whole (the file missing, busy or
    // damaged, or the list missing or endless): quit then leaves the stored list as it is.
    bool keepStoredDefaults = false;

    // The request queue: index i of both lists is one waiting request; head at 0.
    std::mutex queueMutex;  // guards searchrequests, searchsockets and gfs::searchthread
    std::vector<std::string> searchrequests;
    std::vector<platform::ConnectionRef> searchsockets;

    std::atomic<int32_t> PREFmaxconnections{10};
    std::atomic<int32_t> PREFmaxresultstotal{2000};
    std::atomic<int32_t> PREFmaxresultsdatabase{500};
    std::atomic<int32_t> PREFportnumber{7000};
    bool candospotlight = false;
    std::string candospotlightstring;
    bool aaamksptlchck = false;  // Spotlight wished at start-up (from the settings file)

 private:
    void startListening();

    NoConsole noConsole_;
    ConsoleAccess* console_ = &noConsole_;
    ListenerFactory listenerFactory_;
    SelectAllHandler selectAll_;
    bool quitting_ = false;
};

// The one application object; it must exist (made by the process entry or a test).
app& App();
