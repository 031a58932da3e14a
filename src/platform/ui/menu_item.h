#pragma once
// MenuItem: one entry of the menu tree. An item with items of its own is a menu (its text is
// the menu's title); an item whose text is "-" is a separator; the quit kind is the
// application's quit command, which a desktop may show in a place of its own. Items are found
// by name, and choosing one runs the application's handler bound to that name (menu_bar.h).
// Main thread only.

#include <QKeySequence>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class QAction;
class QMenu;

namespace platform::ui {

class MenuItem {
 public:
    enum Kind { Command, QuitCommand };

    explicit MenuItem(std::string name = {}, Kind kind = Command);
    ~MenuItem();
    MenuItem(const MenuItem&) = delete;
    MenuItem& operator=(const MenuItem&) = delete;

    const std::string& Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }
    Kind kind() const { return kind_; }
    // An "&" marks the letter that opens the item from the keyboard, as Qt shows it.
    const std::string& Text() const { return text_; }
    void SetText(std::string_view text);
    // As stored, such as "Cmd+O"; empty for none. "Cmd" is the Control key here.
    const std::string& KeyboardShortcut() const { return shortcut_; }
    void SetKeyboardShortcut(std::string_view shortcut);
    // An item that enables itself whenever its menu opens.
    bool AutoEnable() const { return autoEnable_; }
    void SetAutoEnable(bool autoEnable) { autoEnable_ = autoEnable; }
    bool Enabled() const;
    void SetEnabled(bool enabled);

    // Appends item as the last entry of this item's menu, making this item a menu.
    void Append(std::unique_ptr<MenuItem> item);
    int Count() const { return static_cast<int>(items_.size()); }
    MenuItem* Item(int index) const;  // none outside 0 .. Count() - 1
    // This item or the first of that name below it, depth first; none when there is none.
    MenuItem* Child(std::string_view name);

    // What Qt shows for the item, and its menu once it has entries.
    QAction& action() const { return *action_; }
    QMenu* menu() const { return menu_.get(); }

 private:
    void chosen();
    void opening();

    std::string name_;
    Kind kind_;
    std::string text_;
    std::string shortcut_;
    bool autoEnable_ = false;
    std::unique_ptr<QAction> action_;
    std::unique_ptr<QMenu> menu_;
    std::vector<std::unique_ptr<MenuItem>> items_;
};

// The key sequence of a stored shortcut text: modifiers "Cmd" (Control), "Shift" and "Option"
// (Alt) joined by "+" to a key, such as "Cmd+Shift+S"; a modifier named twice counts once.
// An empty text, or one without a key, gives none.
QKeySequence shortcutFromText(std::string_view text);

}  // namespace platform::ui
