#pragma once
// dbswindow: the console window, the server's main window. It lists the registered catalog
// databases with their "search" and "default" marks, and shows the path of the selected one,
// the machine's address, the port, the three limits and the Spotlight switch. Its controls are
// reached by name; each control's events go to the method named control_Event. There is one
// console window, made and shown by instance(); closing it quits the server. Main thread only.

#include "platform/folder_item.h"
#include "platform/ui/window.h"

#include <cstdint>
#include <string>
#include <vector>

namespace platform::ui {
class Canvas;
class CheckBox;
class DragItem;
class EditField;
class Listbox;
class Separator;
class StaticText;
struct KeyPress;
}  // namespace platform::ui

class dbswindow final : public platform::ui::Window {
    Q_OBJECT
 public:
    // The one console window, built and shown on first use.
    static dbswindow& instance();
    static bool exists();
    static void release();  // before the Qt application object goes

    // Text constants; each is looked up anew under "dbswindow.<name>".
    static std::string win_tit_databases();
    static std::string dblistbox_tits();
    static std::string st_myip();
    static std::string st_port();
    static std::string st_limitconnections();
    static std::string st_limittotalresuts();
    static std::string st_limitdbresults();
    static std::string butt_removedbfile();

    // The columns of datasList; the last two are never shown.
    static constexpr int kNameColumn = 0;
    static constexpr int kSearchColumn = 1;
    static constexpr int kDefaultColumn = 2;
    static constexpr int kPathColumn = 3;   // the file's absolute path: the row's identity
    static constexpr int kIndexColumn = 4;  // index in App().databases or in nichtsDBS

    // Registered databases that are not searched ("nichts": nothing is searched in them).
    std::vector<platform::FolderItem> nichtsDBS;
    int32_t selectedOne = 0;  // the list row selected last; kept while nothing is selected

    // The controls, owned by the window.
    platform::ui::Listbox* datasList = nullptr;
    platform::ui::Canvas* plusc = nullptr;
    platform::ui::Canvas* minusc = nullptr;
    platform::ui::EditField* ipcka = nullptr;
    platform::ui::StaticText* StaticText1 = nullptr;
    platform::ui::EditField* portik = nullptr;
    platform::ui::StaticText* StaticText2 = nullptr;
    platform::ui::Separator* Separator1 = nullptr;
    platform::ui::EditField* maxcons = nullptr;
    platform::ui::StaticText* StaticText3 = nullptr;
    platform::ui::StaticText* StaticText4 = nullptr;
    platform::ui::EditField* maxresultstotal = nullptr;
    platform::ui::EditField* maxresultsdatabase = nullptr;
    platform::ui::StaticText* StaticText5 = nullptr;
    platform::ui::EditField* dataPath = nullptr;
    platform::ui::Canvas* sptlgtcnv = nullptr;
    platform::ui::CheckBox* sptlgtchckbx = nullptr;

    // Rebuilds the list from App().databases, nichtsDBS and App().defDatabases, sorted by name.
    void aktualizacia();
    // Unregisters entry index of nichtsDBS and, with alsoDefault, its default entry; index must
    // name an entry (OutOfBoundsException otherwise, with nothing changed).
    void removeZnichtsDBS(int32_t index, bool alsoDefault);

    // Makes the window shorter, where it stands, until its content's lower edge is on a screen
    // screenHeight pixels high.
    void fitToScreen(int screenHeight);

    // Event handlers.
    void datasList_Open();
    void datasList_CellAction(int32_t row, int32_t column);
    void datasList_Change();
    bool plusc_MouseDown(int x, int y);
    void plusc_MouseEnter();
    void plusc_MouseExit();
    void plusc_Open();
    bool minusc_MouseDown(int x, int y);
    void minusc_MouseEnter();
    void minusc_MouseExit();
    void minusc_Open();
    void StaticText1_Open();
    bool portik_KeyDown(const platform::ui::KeyPress& key);
    void portik_TextChange();
    void StaticText2_Open();
    bool maxcons_KeyDown(const platform::ui::KeyPress& key);
    void maxcons_TextChange();
    void StaticText3_Open();
    void StaticText4_Open();
    bool maxresultstotal_KeyDown(const platform::ui::KeyPress& key);
    void maxresultstotal_TextChange();
    bool maxresultsdatabase_KeyDown(const platform::ui::KeyPress& key);
    void maxresultsdatabase_TextChange();
    void StaticText5_Open();
    bool sptlgtcnv_MouseDown(int x, int y);
    void sptlgtchckbx_Action();
    void Event_DropObject(platform::ui::DragItem& item, int action);
    void Event_Activate();
    void Event_Close();
    void Event_Open();

 private:
    dbswindow();
    void Layout();
    void CreateControls();
    void _CreateControls0();
    void AddMenuHandlers();
};
