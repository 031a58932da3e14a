#include "core/text_constants.h"

#include "core/app.h"
#include "platform/localized_string.h"

using platform::GetLocalizedString;

std::string app::msg_nopreffile() {
    return GetLocalizedString("app.msg_nopreffile",
                              "The 'preferences' file doesn't exist or has been moved or has beed damaged. Now create new one.");
}
std::string app::msg_defdblisterror() {
    return GetLocalizedString("app.msg_defdblisterror",
                              "Some of your database files were renamed, moved or deleted and Quorvantel cannot find "
                              "them. The list of default databases will be deleted.");
}
std::string app::menu_showlogwin() { return GetLocalizedString("app.menu_showlogwin", "Show Server Log Window"); }
std::string app::menu0_edit() { return GetLocalizedString("app.menu0_edit", "Edit"); }
std::string app::menu0_file() { return GetLocalizedString("app.menu0_file", "File"); }
std::string app::kEditClear() { return GetLocalizedString("app.kEditClear", "Delete"); }
std::string app::kEditCopy() { return GetLocalizedString("app.kEditCopy", "Copy"); }
std::string app::kEditCut() { return GetLocalizedString("app.kEditCut", "Cut"); }
std::string app::kEditPaste() { return GetLocalizedString("app.kEditPaste", "Paste"); }
std::string app::kEditSelectAll() { return GetLocalizedString("app.kEditSelectAll", "Select All"); }
std::string app::kFileQuit() { return GetLocalizedString("app.kFileQuit", "&Quit"); }

namespace gfs {

std::string dbsel_prompt() {
    return GetLocalizedString("gfs.dbsel_prompt", "Select database with the .vxo extension");
}
std::string dbsel_title() { return GetLocalizedString("gfs.dbsel_title", "Open database"); }
std::string butt_opendbfile() { return GetLocalizedString("gfs.butt_opendbfile", "Open database ..."); }

}  // namespace gfs
