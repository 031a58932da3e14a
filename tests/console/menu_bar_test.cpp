// The menu bar shown in the console window: its menus and items in order with their
// shortcuts, the item accessors and the texts start-up gives them, and the commands: quitting
// in each of its ways, the log window, Select All and the field's own editing commands.

#include "console_fixture.h"
#include "platform/errors.h"
#include "platform/ui_edit_field.h"

#include <QClipboard>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <sqlite3.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace {

using consoletest::ConsoleRun;
using consoletest::ConsoleTest;
using platform::ui::MenuItem;

struct Entry {
    const char* name;
    const char* text;  // as shown by Qt
    const char* shortcut;
};

std::vector<Entry> kFile = {{"FileOpenDatabaseMenu", "Open Database ...", "Ctrl+O"},
                            {"FileShowlogwindow", "Show Server Log Window", "Ctrl+G"},
                            {"UntitledMenu2", "-", ""},
                            {"FileQuit", "&Quit", "Ctrl+Q"}};
std::vector<Entry> kEdit = {{"EditCut", "Cut", "Ctrl+X"},       {"EditCopy", "Copy", "Ctrl+C"},
                            {"EditPaste", "Paste", "Ctrl+V"},   {"EditClear", "Delete", ""},
                            {"UntitledSeparator", "-", ""},     {"EditSelectAll", "Select All", "Ctrl+A"}};

TEST_F(ConsoleTest, TheConsoleShowsTheFileAndTheEditMenuWithTheirItemsInOrder) {
    const QMenuBar* shown = console().menuBarWidget();
    ASSERT_NE(shown, nullptr);
    ASSERT_EQ(shown->actions().size(), 2);
    const std::pair<const char*, const std::vector<Entry>*> menus[] = {{"UntitledMenu1", &kFile},
                                                                      {"UntitledMenu0", &kEdit}};
    for (int m = 0; m < 2; ++m) {
        const MenuItem* title = Menu::instance().Item(m);
        EXPECT_EQ(title->Name(), menus[m].first);
        EXPECT_TRUE(title->KeyboardShortcut().empty());
        EXPECT_FALSE(title->AutoEnable());
        const QMenu* menu = shown->actions()[m]->menu();
        ASSERT_NE(menu, nullptr);
        const std::vector<Entry>& entries = *menus[m].second;
        ASSERT_EQ(menu->actions().size(), static_cast<qsizetype>(entries.size()));
        for (size_t i = 0; i < entries.size(); ++i) {
            const Entry& entry = entries[i];
            const QAction* action = menu->actions()[static_cast<qsizetype>(i)];
            EXPECT_EQ(title->Item(static_cast<int>(i))->Name(), entry.name);
            EXPECT_EQ(action->isSeparator(), std::string(entry.text) == "-") << entry.name;
            if (!action->isSeparator()) {
                EXPECT_EQ(action->text().toStdString(), entry.text);
            }
            EXPECT_EQ(action->shortcut(), QKeySequence(entry.shortcut)) << entry.name;
        }
    }
    EXPECT_EQ(shown->actions()[0]->text(), "File");
    EXPECT_EQ(Menu::instance().Child("FileQuit")->kind(), MenuItem::QuitCommand);
    // The bar sits above the controls; their places are the content area's.
    EXPECT_EQ(console().datasList->mapTo(&console(), QPoint(0, 0)), QPoint(20, 14 + console().MenuBarHeight()));
}

TEST(MenuShortcuts, StoredTextsBecomeKeySequences) {
    const std::pair<const char*, QKeySequence> cases[] = {
        {"Cmd+O", QKeySequence("Ctrl+O")},          {"Cmd+Cmd+Q", QKeySequence("Ctrl+Q")},
        {"cmd+shift+s", QKeySequence("Ctrl+Shift+S")}, {"Option+Cmd+F1", QKeySequence("Ctrl+Alt+F1")},
        {"", QKeySequence()},                       {"Cmd+", QKeySequence()},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(platform::ui::shortcutFromText(text), expected) << text;
}

TEST_F(ConsoleTest, TheAccessorsFindTheItemsStartUpGivesTheirTexts) {
    EXPECT_EQ(UntitledMenu1()->Text(), "File");
    EXPECT_EQ(FileOpenDatabaseMenu()->Text(), "Open Database ...");
    run.application.Event_Open();
    const std::pair<MenuItem*, const char*> texts[] = {{UntitledMenu1(), "File"},
                                                       {UntitledMenu0(), "Edit"},
                                                       {FileOpenDatabaseMenu(), "Open database ..."},
                                                       {FileShowlogwindow(), "Show Server Log Window"}};
    for (const auto& [item, text] : texts) EXPECT_EQ(item->Text(), text) << item->Name();
    EXPECT_EQ(console().menuBarWidget()->actions()[1]->text(), "Edit");

    platform::ui::MenuBar bare;
    bare.Append(std::make_unique<MenuItem>("UntitledMenu1"));
    platform::ui::SetApplicationMenuBar(&bare);
    EXPECT_EQ(FileShowlogwindow(), nullptr);
    EXPECT_NE(UntitledMenu1(), nullptr);
    EXPECT_EQ(console().menuBarWidget()->actions().size(), 1) << "the window shows the bar installed now";
    platform::ui::SetApplicationMenuBar(nullptr);
    EXPECT_THROW(UntitledMenu0(), platform::NilObjectException);
    EXPECT_EQ(console().MenuBarHeight(), 0);
    EXPECT_EQ(console().datasList->Bounds(), QRect(20, 14, 310, 178));
}

std::vector<std::string> storedDefaults(const std::string& file) {
    sqlite3* db = nullptr;
    std::vector<std::string> paths;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_exec(
        db, "SELECT paths FROM DefDBs",
        [](void* into, int, char** values, char**) {
            static_cast<std::vector<std::string>*>(into)->emplace_back(values[0] ? values[0] : "");
            return 0;
        },
        &paths, nullptr);
    sqlite3_close(db);
    return paths;
}

TEST(ConsoleQuit, EveryWayOfQuittingRunsTheCloseEvent) {
    const std::pair<const char*, std::function<void(dbswindow&)>> ways[] = {
        {"closing the console window", [](dbswindow& window) { window.close(); }},
        {"Cmd+Q", [](dbswindow& window) { QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier); }},
        {"File > Quit",
         [](dbswindow& window) {
             QMenuBar& bar = *window.menuBarWidget();
             QTest::mouseClick(&bar, Qt::LeftButton, {}, bar.actionGeometry(bar.actions()[0]).center());
             QMenu& file = *bar.actions()[0]->menu();
             ASSERT_TRUE(QTest::qWaitForWindowExposed(&file));
             QTest::mouseClick(&file, Qt::LeftButton, {}, file.actionGeometry(file.actions()[3]).center());
         }},
    };
    for (const auto& [way, quit] : ways) {
        ConsoleRun run;
        const std::string preferences = (run.folder.path() / "preferences").string();
        sqlite3* db = nullptr;
        sqlite3_open(preferences.c_str(), &db);
        sqlite3_exec(db, "CREATE TABLE DefDBs(paths TEXT)", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        run.application.prefsFoit = platform::FolderItem(preferences);
        run.application.defDatabases = {run.folder.file("kept.vxo")};
        dbswindow& window = run.console();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

        quit(window);
        EXPECT_TRUE(run.application.isQuitting()) << way;
        EXPECT_EQ(storedDefaults(preferences), std::vector<std::string>{run.folder.file("kept.vxo").AbsolutePath()})
            << way;
        char month[8];
        const std::time_t now = std::time(nullptr);
        std::strftime(month, sizeof month, "%Y-%m", std::localtime(&now));
        const std::string log =
            consoletest::readFile(run.appFolder() / "logs" / ("serverlog-" + std::string(month) + ".log"));
        EXPECT_NE(log.find("QUIT ---- Quorvantel server quit"), std::string::npos) << way;
    }
}

TEST_F(ConsoleTest, TheFileMenuShowsTheLogWindow) {
    logswindow::instance().hide();
    console().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&console()));
    QTest::keyClick(&console(), Qt::Key_G, Qt::ControlModifier);
    EXPECT_TRUE(logswindow::instance().isVisible());
}

TEST_F(ConsoleTest, SelectAllActsOnlyOnTheFieldNamedForIt) {
    platform::ui::EditField& field = *console().portik;
    field.SetSelStart(1);
    EXPECT_FALSE(platform::ui::runMenuCommand("EditSelectAll"));
    EXPECT_EQ(field.SelLength(), 0) << "nothing names a field for Select All";

    gfs::vyberVsetkoEF = console().maxresultstotal;
    platform::ui::runMenuCommand("EditSelectAll");
    EXPECT_EQ(console().maxresultstotal->SelStart(), 0);
    EXPECT_EQ(console().maxresultstotal->SelLength(), 4);
}

TEST_F(ConsoleTest, TheFieldsKeepTheirOwnCutCopyPasteAndDelete) {
    console().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&console()));
    platform::ui::EditField& field = *console().maxresultsdatabase;
    QWidget& editor = field.focusTarget();
    editor.setFocus();
    field.SetSelStart(0);
    field.SetSelLength(2);
    QTest::keyClick(&editor, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "50");

    platform::ui::runMenuCommand("EditCut");  // chosen from the Edit menu
    EXPECT_EQ(field.Text(), "0");
    QTest::keyClick(&editor, Qt::Key_End);
    QTest::keyClick(&editor, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(field.Text(), "050");
    field.SetSelStart(0);
    field.SetSelLength(1);
    platform::ui::runMenuCommand("EditClear");
    EXPECT_EQ(field.Text(), "50");
}

}  // namespace
