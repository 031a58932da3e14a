#pragma once
// MenuBar: the application's menus, in order, each a MenuItem whose entries are its items. One
// bar at a time is the application's; every window that shows a menu bar shows that one. The
// commands are the application's: a handler is bound to an item name and runs whenever an item
// of that name is chosen, from a menu or by its shortcut. An item without a handler of the
// application's acts as the desktop's standard editing command of its name, if it has one, on
// the text field that has the focus. Main thread only.

#include "platform/ui/menu_item.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::ui {

class MenuBar {
 public:
    MenuBar() = default;
    virtual ~MenuBar();  // no longer the application's bar when it goes
    MenuBar(const MenuBar&) = delete;
    MenuBar& operator=(const MenuBar&) = delete;

    void Append(std::unique_ptr<MenuItem> menu);  // a menu title, as the last menu of the bar
    int Count() const { return static_cast<int>(menus_.size()); }
    MenuItem* Item(int index) const;  // none outside 0 .. Count() - 1
    // The first item of that name anywhere in the menus, depth first; none when there is none.
    MenuItem* Child(std::string_view name) const;

 private:
    std::vector<std::unique_ptr<MenuItem>> menus_;
};

// The application's menu bar, or none.
MenuBar* ApplicationMenuBar();
// Installs bar (none removes it); the windows that show a menu bar take it up at once.
void SetApplicationMenuBar(MenuBar* bar);

// Binds the application's handler to an item name, replacing an earlier one. The handler
// returns whether it handled the command.
void AddMenuHandler(std::string name, std::function<bool()> handler);
void ClearMenuHandlers();

// Runs the command of that item name as if it were chosen; returns whether it was handled.
bool runMenuCommand(std::string_view name);

}  // namespace platform::ui
