#include "console/dbs_window.h"

#include "console/console_pictures.h"
#include "core/app.h"
#include "core/file_types.h"
#include "core/gfs_state.h"
#include "platform/ui/canvas.h"
#include "platform/ui/check_box.h"
#include "platform/ui/edit_field.h"
#include "platform/ui/list_box.h"
#include "platform/ui/open_dialog.h"
#include "platform/ui/separator.h"
#include "platform/ui/static_text.h"

#include <memory>
#include <utility>

using platform::ui::Canvas;
using platform::ui::CheckBox;
using platform::ui::ControlPlacement;
using platform::ui::EditField;
using platform::ui::KeyPress;
using platform::ui::Listbox;
using platform::ui::Separator;
using platform::ui::StaticText;
using platform::ui::LockBottom;
using platform::ui::LockLeft;
using platform::ui::LockRight;
using platform::ui::LockTop;

namespace {

std::unique_ptr<dbswindow> theConsoleWindow;

// A document window with a close, a minimise and a maximise box.
constexpr Qt::WindowFlags kDocumentWindow = Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                            Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint;

}  // namespace

dbswindow& dbswindow::instance() {
    if (!theConsoleWindow) {
        theConsoleWindow.reset(new dbswindow());
        // Stored first: the Open handlers that showing raises may reach the window by this accessor.
        theConsoleWindow->Show();
    }
    return *theConsoleWindow;
}

bool dbswindow::exists() { return theConsoleWindow != nullptr; }

void dbswindow::release() { theConsoleWindow.reset(); }

dbswindow::dbswindow() : Window(kDocumentWindow) {
    setObjectName("dbswindow");
    Layout();
    CreateControls();
    AddMenuHandlers();
    Open = [this] { Event_Open(); };
    Close = [this] { Event_Close(); };
    Activate = [this] { Event_Activate(); };
    DropObject = [this](platform::ui::DragItem& item, int action) { Event_DropObject(item, action); };
}

void dbswindow::Layout() {
    SetTitle("Databases");
    SetMinimumSize(64, 64);
    SetMaximumSize(32000, 32000);
    SetWidth(350);
    SetHeight(450);
    SetMenuBarVisible(true);
}

void dbswindow::CreateControls() { _CreateControls0(); }

// Binds a control's event to the window's method named control_Event.
#define BIND(control, event)                                                              \
    control->event = [this](auto&&... arguments) {                                         \
        return this->control##_##event(std::forward<decltype(arguments)>(arguments)...);   \
    }

void dbswindow::_CreateControls0() {
    constexpr unsigned kAllSides = LockLeft | LockTop | LockRight | LockBottom;
    constexpr unsigned kLowerLeft = LockLeft | LockBottom;
    constexpr unsigned kLowerSpan = LockLeft | LockRight | LockBottom;
    constexpr unsigned kLowerRight = LockRight | LockBottom;

    const auto editField = [this](ControlPlacement placement, bool multiLine, bool readOnly, const char* text) {
        auto* field = new EditField(*this, placement, multiLine);
        field->SetReadOnly(readOnly);
        field->SetText(text);
        field->SetTextFont("System");
        return field;
    };
    const auto label = [this](ControlPlacement placement, const char* text) {
        auto* made = new StaticText(*this, placement);
        made->SetText(text);
        made->SetTextAlign(Qt::AlignRight);
        made->SetTextFont("System");
        return made;
    };

    datasList = new Listbox(*this, {"datasList", {20, 14, 310, 178}, kAllSides, 0}, 3);
    datasList->SetColumnWidths("70%,15%,15%");
    datasList->SetHasHeading(true);
    datasList->SetInitialHeadings("Database name\tsearch\tdefault");
    datasList->SetHeadingIndex(-1);
    datasList->SetRowHeight(16);
    datasList->SetTextFont("System", 10);
    BIND(datasList, Open);
    BIND(datasList, CellAction);
    BIND(datasList, Change);

    plusc = new Canvas(*this, {"plusc", {20, 204, 40, 40}, kLowerLeft, 2});
    plusc->SetBackdrop(pictures::opendatabasecopy());
    BIND(plusc, MouseDown);
    BIND(plusc, MouseEnter);
    BIND(plusc, MouseExit);
    BIND(plusc, Open);

    minusc = new Canvas(*this, {"minusc", {72, 204, 40, 40}, kLowerLeft, 3});
    minusc->SetBackdrop(pictures::removedatabasecopy());
    BIND(minusc, MouseDown);
    BIND(minusc, MouseEnter);
    BIND(minusc, MouseExit);
    BIND(minusc, Open);

    ipcka = editField({"ipcka", {124, 272, 206, 22}, kLowerSpan, 4}, false, true, "");

    StaticText1 = label({"StaticText1", {20, 272, 92, 22}, kLowerLeft, 5}, "My IP:");
    BIND(StaticText1, Open);

    portik = editField({"portik", {124, 306, 206, 22}, kLowerSpan, 6}, false, false, "7000");
    BIND(portik, KeyDown);
    BIND(portik, TextChange);

    StaticText2 = label({"StaticText2", {20, 306, 92, 22}, kLowerLeft, 7}, "Port:");
    BIND(StaticText2, Open);

    Separator1 = new Separator(*this, {"Separator1", {20, 256, 310, 4}, kLowerSpan, 8});

    maxcons = editField({"maxcons", {270, 340, 60, 22}, kLowerSpan, 9}, false, false, "10");
    BIND(maxcons, KeyDown);
    BIND(maxcons, TextChange);

    StaticText3 = label({"StaticText3", {20, 340, 238, 22}, kLowerLeft, 10}, "Limit connections:");
    BIND(StaticText3, Open);

    StaticText4 = label({"StaticText4", {20, 374, 238, 22}, kLowerLeft, 11}, "Limit results - total:");
    BIND(StaticText4, Open);

    maxresultstotal = editField({"maxresultstotal", {270, 374, 60, 22}, kLowerSpan, 12}, false, false, "2000");
    BIND(maxresultstotal, KeyDown);
    BIND(maxresultstotal, TextChange);

    maxresultsdatabase = editField({"maxresultsdatabase", {270, 408, 60, 22}, kLowerSpan, 13}, false, false, "500");
    BIND(maxresultsdatabase, KeyDown);
    BIND(maxresultsdatabase, TextChange);

    StaticText5 = label({"StaticText5", {20, 408, 238, 22}, kLowerLeft, 14}, "Limit results per database:");
    BIND(StaticText5, Open);

    dataPath = editField({"dataPath", {124, 204, 144, 40}, kLowerSpan, 1}, true, true, "");
    dataPath->SetScrollBars(false);
    dataPath->SetTextFont("smallSystem", 10);

    sptlgtcnv = new Canvas(*this, {"sptlgtcnv", {280, 212, 24, 24}, kLowerRight, 15});
    sptlgtcnv->SetBackdrop(pictures::spotlight_picbw());
    BIND(sptlgtcnv, MouseDown);

    sptlgtchckbx = new CheckBox(*this, {"sptlgtchckbx", {309, 214, 20, 20}, kLowerRight, 16});
    sptlgtchckbx->SetValue(false);
    sptlgtchckbx->SetCaption("");
    BIND(sptlgtchckbx, Action);
    // A new switch is off, and the search service must see it so.
    gfs::spotlightSwitchMirror = sptlgtchckbx->Value();

    applyTabOrder();
}

#undef BIND

// The menu commands belong to the application object; the window adds none.
void dbswindow::AddMenuHandlers() {}

bool dbswindow::sptlgtcnv_MouseDown(int, int) {
    if (!sptlgtchckbx->Value()) {
        sptlgtcnv->SetBackdrop(pictures::spotlight_pic());
        sptlgtchckbx->SetValue(true);
    } else {
        sptlgtcnv->SetBackdrop(pictures::spotlight_picbw());
        sptlgtchckbx->SetValue(false);
    }
    return false;
}

void dbswindow::sptlgtchckbx_Action() {
    sptlgtcnv->SetBackdrop(sptlgtchckbx->Value() ? pictures::spotlight_pic() : pictures::spotlight_picbw());
    // The search worker must not touch a widget; it reads the switch through this mirror.
    gfs::spotlightSwitchMirror = sptlgtchckbx->Value();
}

void dbswindow::Event_Open() {
    if (FileTypes::pSpecialAny) AcceptFileDrop(FileTypes::pSpecialAny->Extensions);
    if (FileTypes::pQuorvantelDatabase) AcceptFileDrop(FileTypes::pQuorvantelDatabase->Extensions);
    // Where the window stands is known only once the desktop has placed it. Without a screen
    // there is nothing to fit.
    WhenPlaced([this] {
        if (const int screenHeight = platform::mainScreenSize().second; screenHeight > 0) fitToScreen(screenHeight);
    });
    SetTitle(win_tit_databases());
}

void dbswindow::fitToScreen(int screenHeight) {
    const int overflow = Top() + Height() - screenHeight;
    if (overflow > 0) SetHeight(Height() - overflow);
}

// Coming back to the console shows the lists as they are now, with the row the operator had
// selected still selected and in view where it was.
void dbswindow::Event_Activate() {
    const int selected = datasList->ListIndex();
    const std::string selectedPath = selected >= 0 ? datasList->Cell(selected, kPathColumn) : std::string();
    const int scrolled = datasList->ScrollPosition();
    aktualizacia();
    if (selected >= 0) {
        for (int row = 0; row < datasList->ListCount(); ++row)
            if (datasList->Cell(row, kPathColumn) == selectedPath) {
                datasList->SetListIndex(row);
                break;
            }
    }
    datasList->SetScrollPosition(scrolled);
}

void dbswindow::Event_Close() { App().Quit(); }
