#include "platform/ui/menu_bar.h"

#include "platform/exception_guard.h"
#include "platform/ui/control.h"
#include "platform/ui/window.h"

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextCursor>

#include <map>

namespace platform::ui {

namespace {

MenuBar* theApplicationMenuBar = nullptr;
std::map<std::string, std::function<bool()>, std::less<>> theHandlers;

void refreshWindows() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<Window*>(widget)) window->RefreshMenuBar();
}

// The editing commands a focused text field carries out by itself when the application binds
// no handler to the item.
bool standardEditCommand(std::string_view name) {
    QWidget* focused = QApplication::focusWidget();
    if (auto* line = qobject_cast<QLineEdit*>(focused)) {
        const bool writable = !line->isReadOnly();
        if (name == "EditCut" && writable) line->cut();
        else if (name == "EditCopy") line->copy();
        else if (name == "EditPaste" && writable) line->paste();
        else if (name == "EditClear" && writable) line->del();
        else if (name == "EditSelectAll") line->selectAll();
        else return false;
        return true;
    }
    if (auto* lines = qobject_cast<QPlainTextEdit*>(focused)) {
        const bool writable = !lines->isReadOnly();
        if (name == "EditCut" && writable) lines->cut();
        else if (name == "EditCopy") lines->copy();
        else if (name == "EditPaste" && writable) lines->paste();
        else if (name == "EditClear" && writable) lines->textCursor().removeSelectedText();
        else if (name == "EditSelectAll") lines->selectAll();
        else return false;
        return true;
    }
    return false;
}

}  // namespace

MenuBar::~MenuBar() {
    if (theApplicationMenuBar == this) SetApplicationMenuBar(nullptr);
}

void MenuBar::Append(std::unique_ptr<MenuItem> menu) {
    menus_.push_back(std::move(menu));
    if (theApplicationMenuBar == this) refreshWindows();
}

MenuItem* MenuBar::Item(int index) const {
    if (index < 0 || index >= Count()) return nullptr;
    return menus_[static_cast<size_t>(index)].get();
}

MenuItem* MenuBar::Child(std::string_view name) const {
    for (const auto& menu : menus_)
        if (MenuItem* found = menu->Child(name)) return found;
    return nullptr;
}

MenuBar* ApplicationMenuBar() { return theApplicationMenuBar; }

void SetApplicationMenuBar(MenuBar* bar) {
    theApplicationMenuBar = bar;
    refreshWindows();
}

void AddMenuHandler(std::string name, std::function<bool()> handler) {
    theHandlers[std::move(name)] = std::move(handler);
}

void ClearMenuHandlers() { theHandlers.clear(); }

bool runMenuCommand(std::string_view name) {
    const auto bound = theHandlers.find(name);
    if (bound == theHandlers.end()) return standardEditCommand(name);
    // A copy: the handler may bind others meanwhile.
    const std::function<bool()> handler = bound->second;
    return fire(handler, false);
}

}  // namespace platform::ui
