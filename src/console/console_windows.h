#pragma once
// The console's side of ConsoleAccess: the core's start-up, activation and log reach the
// console window, the log window and the menus through it. Main thread only.

#include "core/console_access.h"

class ConsoleWindows final : public ConsoleAccess {
 public:
    ~ConsoleWindows() override;  // the windows go with it
    void showConsoleWindow() override;
    WindowFrame consoleFrame() override;
    void showLogWindow() override;
    void setLogWindowVisible(bool visible) override;
    void moveLogWindow(int left, int top) override;
    void whenWindowsPlaced(std::function<void()> action) override;
    void appendLogText(const std::string& text) override;

    void setControlText(std::string_view control, const std::string& text) override;
    void setControlVisible(std::string_view control, bool visible) override;
    int controlWidth(std::string_view control) override;
    void setControlWidth(std::string_view control, int width) override;
    void setControlValue(std::string_view control, bool value) override;
    void setMenuText(std::string_view item, const std::string& text) override;

    void aktualizacia() override;

    std::pair<int, int> mainScreenSize() override;
    std::optional<std::string> showOpenDialog(const OpenDialogRequest& request) override;

 private:
    bool hideLogWindow_ = false;  // a hide asked for that waits for the current event to end
};
