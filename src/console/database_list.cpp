// The console's database list: one row per registered catalog database, with its "search" and
// "default" marks, rebuilt from App().databases, nichtsDBS and App().defDatabases after every
// change. Ticking a box rebuilds the lists from the rows, and then the rows from the lists.

#include "console/dbs_window.h"
#include "core/app.h"
#include "core/database_registry.h"
#include "platform/errors.h"
#include "platform/message_box.h"
#include "platform/numbers.h"
#include "platform/text_rule.h"
#include "platform/ui/edit_field.h"
#include "platform/ui/list_box.h"

#include <QString>

#include <algorithm>

using platform::FolderItem;
using platform::ui::Listbox;

void dbswindow::datasList_Open() {
    datasList->SetColumnType(kSearchColumn, Listbox::CheckBoxColumn);
    datasList->SetColumnType(kDefaultColumn, Listbox::CheckBoxColumn);
    // A translation with another number of headings would mislabel the columns: keep the laid-out ones.
    const std::vector<std::string> headings = platform::text::splitNoCase(dblistbox_tits(), ";");
    if (static_cast<int>(headings.size()) != datasList->ColumnCount()) return;
    for (int column = 0; column < datasList->ColumnCount(); ++column)
        datasList->SetHeading(column, headings[static_cast<size_t>(column)]);
}

void dbswindow::aktualizacia() {
    Listbox& list = *datasList;
    const app& application = App();
    list.DeleteAllRows();

    const auto addDatabaseRow = [&list](const FolderItem& file, size_t index, bool searched) {
        list.AddRow(file.Name());
        const int row = list.LastIndex();
        list.SetCell(row, kPathColumn, file.AbsolutePath());
        list.SetCell(row, kIndexColumn, platform::Str(static_cast<int32_t>(index)));
        list.SetCellCheck(row, kSearchColumn, searched);
    };
    for (size_t i = 0; i < application.databases.size(); ++i) addDatabaseRow(application.databases[i], i, true);
    for (size_t i = 0; i < nichtsDBS.size(); ++i) addDatabaseRow(nichtsDBS[i], i, false);

    // A copy: the message box runs an event loop of its own, in which the list may change.
    const std::vector<FolderItem> defaults = application.defDatabases;
    for (const FolderItem& d : defaults) {
        int found = -1;
        for (int row = 0; row < list.ListCount() && found < 0; ++row)
            if (list.Cell(row, kPathColumn) == d.AbsolutePath()) found = row;
        if (found >= 0) {
            list.SetCellCheck(found, kDefaultColumn, true);
            continue;
        }
        // A default database in neither list: say so, and give it a row so that it can be unticked.
        platform::MsgBox(d.Name());
        list.AddRow(d.Name());
        list.SetCell(list.LastIndex(), kPathColumn, d.AbsolutePath());
        list.SetCellCheck(list.LastIndex(), kDefaultColumn, true);
    }

    list.SetHeadingIndex(kNameColumn);
    list.Sort();
}

void dbswindow::datasList_CellAction(int32_t, int32_t column) {
    Listbox& list = *datasList;
    app& application = App();
    if (column == kSearchColumn) {
        application.databases.clear();
        nichtsDBS.clear();
        for (int row = 0; row < list.ListCount(); ++row) {
            const auto file = platform::GetFolderItem(list.Cell(row, kPathColumn));
            if (!file) continue;
            if (list.CellCheck(row, kSearchColumn))
                gfs::addNewDatabase(file, false);
            else
                nichtsDBS.push_back(*file);
        }
        aktualizacia();
    } else if (column == kDefaultColumn) {
        application.defDatabases.clear();
        for (int row = 0; row < list.ListCount(); ++row) {
            if (!list.CellCheck(row, kDefaultColumn)) continue;
            if (const auto file = platform::GetFolderItem(list.Cell(row, kPathColumn)))
                application.defDatabases.push_back(*file);
        }
        aktualizacia();
    }
}

void dbswindow::datasList_Change() {
    const int row = datasList->ListIndex();
    if (row == -1) return;
    selectedOne = row;
    const std::string path = datasList->Cell(row, kPathColumn);
    dataPath->SetText(path);
    // The insertion point at the end keeps the end of a long path in view.
    dataPath->SetSelStart(static_cast<int>(QString::fromStdString(path).size()));
    dataPath->SetSelLength(0);
}

void dbswindow::removeZnichtsDBS(int32_t index, bool alsoDefault) {
    if (nichtsDBS.empty()) return;
    if (index < 0 || static_cast<size_t>(index) >= nichtsDBS.size())
        throw platform::OutOfBoundsException("no unsearched database at index " + std::to_string(index));
    const auto entry = nichtsDBS.begin() + index;
    if (alsoDefault) {
        auto& defaults = App().defDatabases;
        const auto it = std::find_if(defaults.begin(), defaults.end(), [&entry](const FolderItem& d) {
            return d.AbsolutePath() == entry->AbsolutePath();
        });
        if (it != defaults.end()) defaults.erase(it);
    }
    nichtsDBS.erase(entry);
    aktualizacia();
}
