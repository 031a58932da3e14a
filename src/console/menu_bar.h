#pragma once
// Menu: the application's menu bar, the File menu (open a catalog, show the log window, quit)
// and then the Edit menu (the editing commands and Select All). One exists, made by
// Menu::instance() and installed by the process entry before the event loop starts; its
// commands are the application object's, bound by _ApplicationAddMenuHandlers. The console
// window shows it above its content. Main thread only.

#include "platform/ui/edit_field.h"
#include "platform/ui/menu_bar.h"

#include <QPointer>

class Menu final : public platform::ui::MenuBar {
 public:
    // The one menu bar, built on first use.
    static Menu& instance();
    static void release();  // before the Qt application object goes

 private:
    Menu();
    void Constructor();
    void Untitled1();  // the File menu
    void Untitled2();  // the Edit menu
};

// The item of that name in the application's menu bar, or none; NilObjectException when the
// application has no menu bar.
platform::ui::MenuItem* applicationMenuItem(std::string_view name);

// The items start-up gives their texts.
platform::ui::MenuItem* UntitledMenu0();  // the Edit menu's title
platform::ui::MenuItem* UntitledMenu1();  // the File menu's title
platform::ui::MenuItem* FileShowlogwindow();
platform::ui::MenuItem* FileOpenDatabaseMenu();

// Binds File > Quit, Edit > Select All, File > Open Database and File > Show Server Log Window
// to the application object's handlers.
void _ApplicationAddMenuHandlers();

namespace gfs {

// The field that Select All acts on: the application's vyberVsetkoEF, kept here because the
// core holds no widget. Nothing assigns it, so Select All selects nothing.
extern QPointer<platform::ui::EditField> vyberVsetkoEF;

// Select All: the whole text of vyberVsetkoEF, when it holds a field.
void Gvybervsetko();

}  // namespace gfs
