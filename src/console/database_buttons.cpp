// The console's add and remove buttons and the files dropped on the console window: each goes
// through the registry or the list, which rebuild the list after the change. Nothing is saved
// here; the default databases are written at quit.

#include "console/console_pictures.h"
#include "console/dbs_window.h"
#include "core/app.h"
#include "core/database_registry.h"
#include "core/text_constants.h"
#include "platform/numbers.h"
#include "platform/text_rule.h"
#include "platform/ui/canvas.h"
#include "platform/ui/list_box.h"
#include "platform/ui/window.h"

#include <algorithm>

void dbswindow::plusc_Open() { plusc->SetHelpTag(gfs::butt_opendbfile()); }
void dbswindow::plusc_MouseEnter() { plusc->SetBackdrop(pictures::opendatabase()); }
void dbswindow::plusc_MouseExit() { plusc->SetBackdrop(pictures::opendatabasecopy()); }

bool dbswindow::plusc_MouseDown(int, int) {
    const auto f = gfs::getDatabaseFile();
    if (f && f->Exists()) {
        const auto parent = f->Parent();
        if (!parent || !parent->Locked()) gfs::addNewDatabase(f, true);
    }
    return false;
}

void dbswindow::minusc_Open() { minusc->SetHelpTag(butt_removedbfile()); }
void dbswindow::minusc_MouseEnter() { minusc->SetBackdrop(pictures::removedatabase()); }
void dbswindow::minusc_MouseExit() { minusc->SetBackdrop(pictures::removedatabasecopy()); }

// Acts on the row selected last, whatever is selected now; a row that is gone raises
// OutOfBoundsException, which ends in a beep.
bool dbswindow::minusc_MouseDown(int, int) {
    const int row = selectedOne;
    const std::string indexText = datasList->Cell(row, kIndexColumn);
    const bool alsoDefault = datasList->CellCheck(row, kDefaultColumn);
    if (indexText.empty()) {
        // A default database found in neither list has only its default mark to lose.
        const std::string path = datasList->Cell(row, kPathColumn);
        auto& defaults = App().defDatabases;
        const auto it = std::find_if(defaults.begin(), defaults.end(),
                                     [&path](const platform::FolderItem& d) { return d.AbsolutePath() == path; });
        if (it != defaults.end()) defaults.erase(it);
        aktualizacia();
        return false;
    }
    const int32_t index = platform::toInt32(platform::Val(indexText));
    if (datasList->CellCheck(row, kSearchColumn))
        gfs::removeDatabase(index, alsoDefault);
    else
        removeZnichtsDBS(index, alsoDefault);
    return false;
}

namespace {

// Only the first item of a drop is looked at: a catalog by its type and creator, or by its name.
bool isCatalogFile(const platform::FolderItem& item) {
    return (item.MacType() == "BINA" && item.MacCreator() == "Vaxo") ||
           platform::text::endsWithNoCase(item.Name(), ".vxo");
}

}  // namespace

void dbswindow::Event_DropObject(platform::ui::DragItem& item, int) {
    if (!isCatalogFile(item.FolderItem())) return;
    do {
        gfs::addNewDatabase(item.FolderItem(), true);
    } while (item.NextItem());
}
