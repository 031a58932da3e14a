#pragma once
// What the server core needs of the operator's windows and menus, reached by control name as
// the rest of the server does. The console implements it; without one (tests, a core on its
// own) the core runs with NoConsole. Main thread only.

#include "core/file_types.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

struct WindowFrame {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

struct OpenDialogRequest {
    std::string prompt;
    std::string title;
    int left = 0;
    int top = 0;
    FileType filter;
};

class ConsoleAccess {
 public:
    virtual ~ConsoleAccess() = default;

    virtual void showConsoleWindow() = 0;
    // The console's whole frame on the screen, and the log window moved by its frame's corner.
    virtual WindowFrame consoleFrame() = 0;
    virtual void showLogWindow() = 0;
    virtual void setLogWindowVisible(bool visible) = 0;
    virtual void moveLogWindow(int left, int top) = 0;
    // Runs action once the desktop has placed both shown windows, so that their frames are
    // known; at once where nothing places them.
    virtual void whenWindowsPlaced(std::function<void()> action) { action(); }
    virtual void appendLogText(const std::string& text) = 0;

    virtual void setControlText(std::string_view control, const std::string& text) = 0;
    virtual void setControlVisible(std::string_view control, bool visible) = 0;
    virtual int controlWidth(std::string_view control) = 0;
    virtual void setControlWidth(std::string_view control, int width) = 0;
    virtual void setControlValue(std::string_view control, bool value) = 0;
    virtual void setMenuText(std::string_view item, const std::string& text) = 0;

    virtual void aktualizacia() = 0;  // rebuilds the console's database list

    virtual std::pair<int, int> mainScreenSize() = 0;
    // The chosen file's absolute path, or none when cancelled or when no one can answer.
    virtual std::optional<std::string> showOpenDialog(const OpenDialogRequest& request) = 0;
};

// Does nothing and remembers nothing: the server runs without windows.
class NoConsole : public ConsoleAccess {
 public:
    void showConsoleWindow() override {}
    WindowFrame consoleFrame() override { return {}; }
    void showLogWindow() override {}
    void setLogWindowVisible(bool) override {}
    void moveLogWindow(int, int) override {}
    void appendLogText(const std::string&) override {}
    void setControlText(std::string_view, const std::string&) override {}
    void setControlVisible(std::string_view, bool) override {}
    int controlWidth(std::string_view) override { return 0; }
    void setControlWidth(std::string_view, int) override {}
    void setControlValue(std::string_view, bool) override {}
    void setMenuText(std::string_view, const std::string&) override {}
    void aktualizacia() override {}
    std::pair<int, int> mainScreenSize() override { return {0, 0}; }
    std::optional<std::string> showOpenDialog(const OpenDialogRequest&) override { return std::nullopt; }
};
