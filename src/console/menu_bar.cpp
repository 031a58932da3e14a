#include "console/menu_bar.h"

#include "core/app.h"
#include "core/text_constants.h"
#include "platform/errors.h"

#include <QString>

#include <memory>

using platform::ui::MenuItem;

namespace {

std::unique_ptr<Menu> theMenu;

std::unique_ptr<MenuItem> makeItem(const char* name, const std::string& text, const char* shortcut, bool autoEnable,
                                   MenuItem::Kind kind = MenuItem::Command) {
    auto item = std::make_unique<MenuItem>(name, kind);
    item->SetAutoEnable(autoEnable);
    item->SetText(text);
    if (*shortcut) item->SetKeyboardShortcut(shortcut);
    return item;
}

std::unique_ptr<MenuItem> separator(const char* name) { return makeItem(name, "-", "", false); }

}  // namespace

Menu& Menu::instance() {
    if (!theMenu) theMenu.reset(new Menu());
    return *theMenu;
}

void Menu::release() { theMenu.reset(); }

Menu::Menu() { Constructor(); }

void Menu::Constructor() {
    Untitled1();
    Untitled2();
}

void Menu::Untitled1() {
    Append(makeItem("UntitledMenu1", "File", "", false));
    MenuItem& file = *Child("UntitledMenu1");
    file.Append(makeItem("FileOpenDatabaseMenu", "Open Database ...", "Cmd+O", true));
    file.Append(makeItem("FileShowlogwindow", "Show Server Log Window", "Cmd+G", true));
    file.Append(separator("UntitledMenu2"));
    // "Cmd" twice, as it was stored: one Control key.
    file.Append(makeItem("FileQuit", app::kFileQuit(), "Cmd+Cmd+Q", true, MenuItem::QuitCommand));
}

void Menu::Untitled2() {
    Append(makeItem("UntitledMenu0", "Edit", "", false));
    MenuItem& edit = *Child("UntitledMenu0");
    edit.Append(makeItem("EditCut", app::kEditCut(), "Cmd+X", true));
    edit.Append(makeItem("EditCopy", app::kEditCopy(), "Cmd+C", true));
    edit.Append(makeItem("EditPaste", app::kEditPaste(), "Cmd+V", true));
    edit.Append(makeItem("EditClear", app::kEditClear(), "", true));
    edit.Append(separator("UntitledSeparator"));
    edit.Append(makeItem("EditSelectAll", app::kEditSelectAll(), "Cmd+A", true));
}

MenuItem* applicationMenuItem(std::string_view name) {
    platform::ui::MenuBar* bar = platform::ui::ApplicationMenuBar();
    if (!bar) throw platform::NilObjectException("the application has no menu bar");
    return bar->Child(name);
}

MenuItem* UntitledMenu0() { return applicationMenuItem("UntitledMenu0"); }
MenuItem* UntitledMenu1() { return applicationMenuItem("UntitledMenu1"); }
MenuItem* FileShowlogwindow() { return applicationMenuItem("FileShowlogwindow"); }
MenuItem* FileOpenDatabaseMenu() { return applicationMenuItem("FileOpenDatabaseMenu"); }

void _ApplicationAddMenuHandlers() {
    // App() is asked at each command: the handlers belong to whichever application object runs.
    platform::ui::AddMenuHandler("FileQuit", [] { return App()._FileQuit_Action(); });
    platform::ui::AddMenuHandler("EditSelectAll", [] { return App()._EditSelectAll_Action(); });
    platform::ui::AddMenuHandler("FileOpenDatabaseMenu", [] { return App()._FileOpenDatabaseMenu_Action(); });
    platform::ui::AddMenuHandler("FileShowlogwindow", [] { return App()._FileShowlogwindow_Action(); });
}

namespace gfs {

QPointer<platform::ui::EditField> vyberVsetkoEF;

void Gvybervsetko() {
    if (!vyberVsetkoEF) return;
    vyberVsetkoEF->SetSelStart(0);
    vyberVsetkoEF->SetSelLength(static_cast<int>(QString::fromStdString(vyberVsetkoEF->Text()).size()));
}

}  // namespace gfs
