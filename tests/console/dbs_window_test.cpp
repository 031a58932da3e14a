// The console window as built: its seventeen controls where their locks keep them, what a new
// console shows, its focus order, the pictures it shares, its place beside the log window at
// start-up and its fit to a short screen.

#include "console_fixture.h"
#include "platform/ui/open_dialog.h"

// Qt's resource macros must stand outside any namespace.
static void dropPictureResources() { Q_CLEANUP_RESOURCE(console_pictures); }
static void restorePictureResources() { Q_INIT_RESOURCE(console_pictures); }

namespace {

using namespace consoletest;

// Each control's place as laid out, and how it follows the window's far edges, per direction:
// '-' stays, 'm' moves with the edge, 's' stretches with it.
struct Place {
    const char* name;
    QRect bounds;
    const char* follows;
};
const Place kPlaces[] = {
    {"datasList", {20, 14, 310, 178}, "ss"},       {"plusc", {20, 204, 40, 40}, "-m"},
    {"minusc", {72, 204, 40, 40}, "-m"},           {"ipcka", {124, 272, 206, 22}, "sm"},
    {"StaticText1", {20, 272, 92, 22}, "-m"},      {"portik", {124, 306, 206, 22}, "sm"},
    {"StaticText2", {20, 306, 92, 22}, "-m"},      {"Separator1", {20, 256, 310, 4}, "sm"},
    {"maxcons", {270, 340, 60, 22}, "sm"},         {"StaticText3", {20, 340, 238, 22}, "-m"},
    {"StaticText4", {20, 374, 238, 22}, "-m"},     {"maxresultstotal", {270, 374, 60, 22}, "sm"},
    {"maxresultsdatabase", {270, 408, 60, 22}, "sm"}, {"StaticText5", {20, 408, 238, 22}, "-m"},
    {"dataPath", {124, 204, 144, 40}, "sm"},       {"sptlgtcnv", {280, 212, 24, 24}, "mm"},
    {"sptlgtchckbx", {309, 214, 20, 20}, "mm"},
};

void expectPlaces(const dbswindow& window, int grownBy, const std::string& when) {
    for (const Place& p : kPlaces) {
        const auto by = [&](int axis, char how) { return p.follows[axis] == how ? grownBy : 0; };
        const QRect expected(p.bounds.x() + by(0, 'm'), p.bounds.y() + by(1, 'm'), p.bounds.width() + by(0, 's'),
                             p.bounds.height() + by(1, 's'));
        const platform::ui::Control* control = window.FindControl(p.name);
        EXPECT_EQ(control ? control->Bounds() : QRect(), expected) << p.name << " " << when;
    }
}

TEST_F(ConsoleTest, SeventeenControlsKeepTheirLocksWhenTheWindowIsResized) {
    EXPECT_EQ(console().Controls().size(), 17u);
    EXPECT_EQ(QSize(console().Width(), console().Height()), QSize(350, 450));
    expectPlaces(console(), 0, "as laid out");
    for (const bool byDesktop : {false, true}) {
        dbswindow::release();
        dbswindow& window = console();
        bool placed = false;  // a window manager that places the window later would undo a resize
        window.WhenPlaced([&placed] { placed = true; });
        ASSERT_TRUE(waitFor([&placed] { return placed; }));
        const auto resize = [&](int width, int height) {
            if (byDesktop) {  // the desktop sizes the whole frame, the menu bar included
                window.resize(width, height + window.MenuBarHeight());
                const QSize expected(std::max(width, 64), std::max(height, 64));
                waitFor([&] { return QSize(window.Width(), window.Height()) == expected; });
            } else {
                window.SetWidth(width);
                window.SetHeight(height);
            }
        };
        resize(450, 550);
        expectPlaces(window, 100, byDesktop ? "grown by the desktop" : "grown by the program");
        resize(10, 10);
        EXPECT_EQ(QSize(window.Width(), window.Height()), QSize(64, 64)) << byDesktop;
        resize(350, 450);
        expectPlaces(window, 0, "squeezed and back");
    }
}

TEST_F(ConsoleTest, ANewConsoleShowsTheDefaults) {
    const dbswindow& w = console();
    EXPECT_EQ((Names{w.Title(), w.portik->Text(), w.maxcons->Text(), w.maxresultstotal->Text(),
                     w.maxresultsdatabase->Text(), w.ipcka->Text(), w.dataPath->Text()}),
              (Names{"Databases", "7000", "10", "2000", "500", "", ""}));
    EXPECT_EQ((Names{w.StaticText1->Text(), w.StaticText2->Text(), w.StaticText3->Text(), w.StaticText4->Text(),
                     w.StaticText5->Text()}),
              (Names{"My IP:", "Port:", "Limit connections:", "Limit results - total:", "Limit results per database:"}));
    const platform::ui::Listbox& list = *w.datasList;
    EXPECT_EQ((Names{list.Heading(0), list.Heading(1), list.Heading(2)}), (Names{"Database name", "search", "default"}));
    EXPECT_EQ(list.columnCount(), 3) << "the path and index cells are never shown";
    EXPECT_EQ((Names{w.plusc->HelpTag(), w.minusc->HelpTag()}), (Names{"Open database ...", "Remove selected database"}));
    EXPECT_TRUE(w.ipcka->ReadOnly() && w.dataPath->ReadOnly() && !w.portik->ReadOnly());
    EXPECT_FALSE(w.sptlgtchckbx->Value());
    EXPECT_EQ(w.sptlgtcnv->Backdrop(), pictures::spotlight_picbw());
    EXPECT_EQ(w.plusc->Backdrop(), pictures::opendatabasecopy());
}

TEST_F(ConsoleTest, TheFocusGoesFromTheListToThePathAndThenDownTheFields) {
    Names order;  // walked as the Tab key walks it
    QWidget* start = &console().datasList->focusTarget();
    QWidget* widget = start;
    do {
        for (const platform::ui::Control* control : console().Controls())
            if (&control->focusTarget() == widget && (widget->focusPolicy() & Qt::TabFocus)) order.push_back(control->Name());
        widget = widget->nextInFocusChain();
    } while (widget != start && order.size() < 40);
    EXPECT_EQ(order, (Names{"datasList", "dataPath", "ipcka", "portik", "maxcons", "maxresultstotal",
                            "maxresultsdatabase", "sptlgtchckbx"}));
}

TEST(ConsolePictures, ALoadedPictureIsKeptAndAFailureIsNot) {
    pictures::release();
    for (auto* accessor : {pictures::opendatabase, pictures::opendatabasecopy, pictures::opendatabasemask,
                           pictures::removedatabase, pictures::removedatabasecopy, pictures::removedatabasemask}) {
        ASSERT_TRUE(accessor());
        EXPECT_EQ(accessor(), accessor());
    }
    const platform::ui::Picture atRest = pictures::opendatabasecopy();
    EXPECT_EQ(atRest->size(), QSize(40, 40));
    EXPECT_EQ(qAlpha(atRest->pixel(0, 0)), 0) << "shown through its mask";
    dropPictureResources();
    {
        ConsoleRun run;  // built all the same, with the one picture never read left blank
        EXPECT_EQ(run.console().Controls().size(), 17u);
        EXPECT_EQ(run.console().plusc->Backdrop(), atRest);
        EXPECT_FALSE(run.console().sptlgtcnv->Backdrop());
    }
    restorePictureResources();
    EXPECT_TRUE(pictures::spotlight_picbw());
}

std::string placeOf(const QRect& frame) {
    return std::to_string(frame.width()) + "x" + std::to_string(frame.height()) + "+" + std::to_string(frame.x()) + "+" +
           std::to_string(frame.y());
}

TEST(ConsoleStartup, PlacesTheLogWindowBesideThePlacedConsoleAndShowsSpotlightOnlyWhereTheSystemHasIt) {
    for (const auto& [version, spotlight] : {std::pair{"10.4.11", true}, std::pair{"10.2.8", false}}) {
        ConsoleRun run(version);
        run.application.Event_Open();
        dbswindow& console = run.console();
        logswindow& log = logswindow::instance();
        // A window manager places and frames both windows only once it shows them.
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&console) && QTest::qWaitForWindowExposed(&log));
        const auto beside = [&] {
            const QRect shown = console.frameGeometry(), placed = log.frameGeometry();
            return placed.left() == shown.right() + 1 + 10 && placed.top() == shown.top();
        };
        EXPECT_TRUE(waitFor(beside)) << "console " << placeOf(console.frameGeometry()) << ", log window "
                                     << placeOf(log.frameGeometry());
        // Each activation shows the log window again where it stood, a closed one too.
        log.close();
        for (int i = 0; i < 3; ++i) run.application.Event_Activate();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&log));
        EXPECT_TRUE(waitFor([&] { return log.isVisible() && beside(); })) << placeOf(log.frameGeometry());
        EXPECT_EQ(console.sptlgtchckbx->Visible(), spotlight) << version;
        EXPECT_EQ(console.dataPath->Width(), spotlight ? 144 : 205) << version;
    }
}

TEST_F(ConsoleTest, AWindowTallerThanTheScreenIsShortenedWhereItStands) {
    const int cases[][4] = {{400, 450, 800, 400}, {400, 450, 900, 450}, {10, 450, 300, 290}};
    dbswindow& window = console();
    for (const auto& [top, height, screenHeight, fitted] : cases) {
        window.SetTop(top);
        window.SetHeight(height);
        window.fitToScreen(screenHeight);
        EXPECT_EQ((QRect(window.Left(), window.Top(), window.Width(), window.Height())),
                  QRect(window.Left(), top, 350, fitted));
    }
    // On the screen it opens on, where the desktop has put it.
    const int screenHeight = platform::mainScreenSize().second;
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.SetHeight(450);
    window.SetTop(screenHeight - 300);
    window.Event_Open();
    EXPECT_TRUE(waitFor([&] { return window.Top() == screenHeight - 300 && window.Height() == 300; }))
        << window.Top() << " " << window.Height();
}

}  // namespace
