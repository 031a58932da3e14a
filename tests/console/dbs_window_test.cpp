// The console window as built: its seventeen controls in their places, the places they keep
// when the window is resized, what a new console shows, its focus order, the one instance,
// the Spotlight switch's mirror and the quit on close.

#include "console/console_pictures.h"
#include "console_fixture.h"
#include "platform/ui_canvas.h"
#include "platform/ui_check_box.h"
#include "platform/ui_edit_field.h"
#include "platform/ui_listbox.h"
#include "platform/ui_separator.h"
#include "platform/ui_static_text.h"

#include <QApplication>
#include <QTest>

#include <string>
#include <vector>

namespace {

using namespace platform::ui;
using consoletest::ConsoleTest;

struct Place {
    const char* name;
    QRect bounds;
    const char* kind = "";
};

std::string kindOf(const Control* control) {
    if (dynamic_cast<const Listbox*>(control)) return "Listbox";
    if (dynamic_cast<const Canvas*>(control)) return "Canvas";
    if (dynamic_cast<const EditField*>(control)) return "EditField";
    if (dynamic_cast<const StaticText*>(control)) return "StaticText";
    if (dynamic_cast<const Separator*>(control)) return "Separator";
    if (dynamic_cast<const CheckBox*>(control)) return "CheckBox";
    return "unknown";
}

void expectPlaces(const dbswindow& window, const std::vector<Place>& places, const std::string& when) {
    for (const Place& place : places) {
        const Control* control = window.FindControl(place.name);
        ASSERT_NE(control, nullptr) << place.name;
        EXPECT_EQ(control->Bounds(), place.bounds) << place.name << " " << when;
    }
}

const std::vector<Place> kLaidOut = {
    {"datasList", {20, 14, 310, 178}, "Listbox"},
    {"plusc", {20, 204, 40, 40}, "Canvas"},
    {"minusc", {72, 204, 40, 40}, "Canvas"},
    {"ipcka", {124, 272, 206, 22}, "EditField"},
    {"StaticText1", {20, 272, 92, 22}, "StaticText"},
    {"portik", {124, 306, 206, 22}, "EditField"},
    {"StaticText2", {20, 306, 92, 22}, "StaticText"},
    {"Separator1", {20, 256, 310, 4}, "Separator"},
    {"maxcons", {270, 340, 60, 22}, "EditField"},
    {"StaticText3", {20, 340, 238, 22}, "StaticText"},
    {"StaticText4", {20, 374, 238, 22}, "StaticText"},
    {"maxresultstotal", {270, 374, 60, 22}, "EditField"},
    {"maxresultsdatabase", {270, 408, 60, 22}, "EditField"},
    {"StaticText5", {20, 408, 238, 22}, "StaticText"},
    {"dataPath", {124, 204, 144, 40}, "EditField"},
    {"sptlgtcnv", {280, 212, 24, 24}, "Canvas"},
    {"sptlgtchckbx", {309, 214, 20, 20}, "CheckBox"},
};

// 100 wider and 50 taller: the list grows both ways, the fields locked left and right grow,
// whatever is locked to the bottom moves down, the Spotlight pair moves right.
const std::vector<Place> kWiderAndTaller = {
    {"datasList", {20, 14, 410, 228}},           {"plusc", {20, 254, 40, 40}},
    {"minusc", {72, 254, 40, 40}},               {"ipcka", {124, 322, 306, 22}},
    {"StaticText1", {20, 322, 92, 22}},          {"portik", {124, 356, 306, 22}},
    {"StaticText2", {20, 356, 92, 22}},          {"Separator1", {20, 306, 410, 4}},
    {"maxcons", {270, 390, 160, 22}},            {"StaticText3", {20, 390, 238, 22}},
    {"StaticText4", {20, 424, 238, 22}},         {"maxresultstotal", {270, 424, 160, 22}},
    {"maxresultsdatabase", {270, 458, 160, 22}}, {"StaticText5", {20, 458, 238, 22}},
    {"dataPath", {124, 254, 244, 40}},           {"sptlgtcnv", {380, 262, 24, 24}},
    {"sptlgtchckbx", {409, 264, 20, 20}},
};

TEST_F(ConsoleTest, BuildsSeventeenControlsOfTheirKindsInTheirPlaces) {
    const dbswindow& window = console();
    EXPECT_EQ(window.Controls().size(), 17u);
    EXPECT_EQ(window.Width(), 350);
    EXPECT_EQ(window.Height(), 450);
    EXPECT_TRUE(window.Visible());
    expectPlaces(window, kLaidOut, "as laid out");

    for (const Place& place : kLaidOut) EXPECT_EQ(kindOf(window.FindControl(place.name)), place.kind) << place.name;
    EXPECT_EQ(window.FindControl("datalist"), nullptr) << "names compare exactly";
}

TEST_F(ConsoleTest, ResizingKeepsEveryControlsLocks) {
    struct Way {
        const char* label;
        std::function<void(dbswindow&, int, int)> resize;
    };
    const std::vector<Way> ways = {
        {"by the program",
         [](dbswindow& w, int width, int height) {
             w.SetWidth(width);
             w.SetHeight(height);
         }},
        {"by the desktop",
         [](dbswindow& w, int width, int height) {
             // The desktop sizes the whole window, the menu bar above the content included.
             w.resize(width, height + w.MenuBarHeight());
             QApplication::processEvents();
         }},
    };
    for (const Way& way : ways) {
        dbswindow::release();
        dbswindow& window = console();
        way.resize(window, 450, 500);
        EXPECT_EQ(window.Width(), 450) << way.label;
        expectPlaces(window, kWiderAndTaller, std::string("wider and taller ") + way.label);

        // Squeezed to the smallest size and back: nothing is lost on the way.
        way.resize(window, 10, 10);
        EXPECT_EQ(window.Width(), 64) << way.label;
        EXPECT_EQ(window.Height(), 64) << way.label;
        way.resize(window, 350, 450);
        expectPlaces(window, kLaidOut, std::string("back to the laid-out size ") + way.label);
    }
    EXPECT_EQ(console().maximumSize(), QSize(32000, 32000 + console().MenuBarHeight()));
}

TEST_F(ConsoleTest, AWidthSetByTheProgramIsTheOneTheLocksKeep) {
    dbswindow& window = console();
    window.dataPath->SetWidth(window.dataPath->Width() + 61);
    window.SetWidth(450);
    EXPECT_EQ(window.dataPath->Width(), 305);
    window.SetWidth(350);
    EXPECT_EQ(window.dataPath->Width(), 205);
}

TEST_F(ConsoleTest, ANewConsoleShowsTheDefaultsAndNothingElse) {
    dbswindow& window = console();
    EXPECT_EQ(window.Title(), "Databases");
    EXPECT_EQ(window.portik->Text(), "7000");
    EXPECT_EQ(window.maxcons->Text(), "10");
    EXPECT_EQ(window.maxresultstotal->Text(), "2000");
    EXPECT_EQ(window.maxresultsdatabase->Text(), "500");
    EXPECT_EQ(window.ipcka->Text(), "");
    EXPECT_EQ(window.dataPath->Text(), "");

    EXPECT_TRUE(window.ipcka->ReadOnly());
    EXPECT_TRUE(window.dataPath->ReadOnly());
    EXPECT_TRUE(window.dataPath->MultiLine());
    for (const EditField* field : {window.portik, window.maxcons, window.maxresultstotal, window.maxresultsdatabase}) {
        EXPECT_FALSE(field->ReadOnly()) << field->Name();
        EXPECT_FALSE(field->MultiLine()) << field->Name();
        EXPECT_EQ(field->TextColor(), QColor(Qt::black)) << field->Name();
    }

    const std::vector<std::pair<const StaticText*, const char*>> labels = {
        {window.StaticText1, "My IP:"},
        {window.StaticText2, "Port:"},
        {window.StaticText3, "Limit connections:"},
        {window.StaticText4, "Limit results - total:"},
        {window.StaticText5, "Limit results per database:"},
    };
    for (const auto& [label, text] : labels) {
        EXPECT_EQ(label->Text(), text);
        EXPECT_TRUE(label->alignment() & Qt::AlignRight) << text;
    }

    const Listbox& list = *window.datasList;
    EXPECT_EQ(list.ListCount(), 0);
    EXPECT_EQ(list.ColumnCount(), 3);
    EXPECT_EQ(list.Heading(0), "Database name");
    EXPECT_EQ(list.Heading(1), "search");
    EXPECT_EQ(list.Heading(2), "default");
    EXPECT_EQ(list.ColumnType(0), Listbox::TextColumn);
    EXPECT_EQ(list.ColumnType(1), Listbox::CheckBoxColumn);
    EXPECT_EQ(list.ColumnType(2), Listbox::CheckBoxColumn);
    EXPECT_EQ(list.HeadingIndex(), -1);
    EXPECT_EQ(list.selectionMode(), QAbstractItemView::SingleSelection);

    EXPECT_FALSE(window.sptlgtchckbx->Value());
    EXPECT_EQ(window.sptlgtcnv->Backdrop(), pictures::spotlight_picbw());
    EXPECT_EQ(window.plusc->Backdrop(), pictures::opendatabasecopy());
    EXPECT_EQ(window.minusc->Backdrop(), pictures::removedatabasecopy());
    for (const Control* control : window.Controls()) {
        EXPECT_TRUE(control->Visible()) << control->Name();
        EXPECT_TRUE(control->Enabled()) << control->Name();
        if (control != window.plusc && control != window.minusc) {
            EXPECT_EQ(control->HelpTag(), "") << control->Name();
        }
    }
    EXPECT_EQ(window.plusc->HelpTag(), "Open database ...");
    EXPECT_EQ(window.minusc->HelpTag(), "Remove selected database");
}

TEST_F(ConsoleTest, TheFocusGoesFromTheListToThePathAndThenDownTheFields) {
    const dbswindow& window = console();
    // Walk the focus chain as the Tab key does: only widgets that take the focus by Tab count.
    std::vector<std::string> order;
    QWidget* start = &window.datasList->focusTarget();
    QWidget* widget = start;
    do {
        if (widget->focusPolicy() & Qt::TabFocus) {
            for (const Control* control : window.Controls())
                if (&control->focusTarget() == widget) order.push_back(control->Name());
        }
        widget = widget->nextInFocusChain();
    } while (widget != start && order.size() < 40);
    const std::vector<std::string> expected = {"datasList", "dataPath",           "ipcka",       "portik",
                                               "maxcons",   "maxresultstotal",    "maxresultsdatabase",
                                               "sptlgtchckbx"};
    EXPECT_EQ(order, expected);
}

TEST_F(ConsoleTest, TheAccessorMakesExactlyOneWindow) {
    EXPECT_FALSE(dbswindow::exists());
    dbswindow& first = dbswindow::instance();
    EXPECT_EQ(&dbswindow::instance(), &first);
    int consoles = 0;
    for (const QWidget* widget : QApplication::topLevelWidgets()) consoles += dynamic_cast<const dbswindow*>(widget) ? 1 : 0;
    EXPECT_EQ(consoles, 1);

    first.nichtsDBS.push_back(platform::FolderItem("/x/y.vxo"));
    first.selectedOne = 3;
    dbswindow::release();
    EXPECT_FALSE(dbswindow::exists());
    dbswindow& second = dbswindow::instance();
    EXPECT_TRUE(second.nichtsDBS.empty());
    EXPECT_EQ(second.selectedOne, 0);
    EXPECT_EQ(second.Controls().size(), 17u);
}

TEST_F(ConsoleTest, TheSearchServiceSeesTheSpotlightSwitch) {
    gfs::spotlightSwitchMirror = true;
    dbswindow& window = console();
    EXPECT_FALSE(gfs::spotlightSwitchMirror) << "a new switch is off";

    QTest::mouseClick(window.sptlgtchckbx, Qt::LeftButton);
    EXPECT_TRUE(window.sptlgtchckbx->Value());
    EXPECT_TRUE(gfs::spotlightSwitchMirror);
    QTest::mouseClick(window.sptlgtchckbx, Qt::LeftButton);
    EXPECT_FALSE(gfs::spotlightSwitchMirror);

    // Start-up sets the switch by its name.
    run.windows.setControlValue("sptlgtchckbx", true);
    EXPECT_TRUE(window.sptlgtchckbx->Value());
    EXPECT_TRUE(gfs::spotlightSwitchMirror);
}

TEST_F(ConsoleTest, ClosingTheConsoleQuitsTheServer) {
    dbswindow& window = console();
    EXPECT_FALSE(run.application.isQuitting());
    window.close();
    EXPECT_TRUE(run.application.isQuitting());
}

}  // namespace
