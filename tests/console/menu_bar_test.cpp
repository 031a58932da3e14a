// The menu bar shown in the console window and in the log window, its items in order with their
// shortcuts, and every way of quitting running the close event.

#include "console_fixture.h"

#include <QMenu>
#include <QMenuBar>
#include <sqlite3.h>

#include <ctime>

namespace {

using namespace consoletest;

TEST_F(ConsoleTest, BothWindowsShowTheFileAndTheEditMenuWithTheirItemsInOrder) {
    for (const platform::ui::Window* window : {static_cast<platform::ui::Window*>(&console()),
                                               static_cast<platform::ui::Window*>(&logswindow::instance())}) {
        const QMenuBar* bar = window->menuBarWidget();
        ASSERT_NE(bar, nullptr) << window->Title();
        // Each item as "name|text|shortcut" as Qt shows it, a separator marked "(separator)".
        Names shown;
        for (int m = 0; m < bar->actions().size(); ++m) {
            const platform::ui::MenuItem* title = Menu::instance().Item(m);
            shown.push_back(title->Name() + "|" + bar->actions()[m]->text().toStdString());
            const QList<QAction*> actions = bar->actions()[m]->menu()->actions();
            for (int i = 0; i < actions.size(); ++i)
                shown.push_back(title->Item(i)->Name() + "|" + (actions[i]->isSeparator() ? "(separator)" : "") +
                                actions[i]->text().toStdString() + "|" + actions[i]->shortcut().toString().toStdString());
        }
        EXPECT_EQ(shown, (Names{"UntitledMenu1|File", "FileOpenDatabaseMenu|Open Database ...|Ctrl+O",
                                "FileShowlogwindow|Show Server Log Window|Ctrl+G", "UntitledMenu2|(separator)|",
                                "FileQuit|&Quit|Ctrl+Q", "UntitledMenu0|Edit", "EditCut|Cut|Ctrl+X",
                                "EditCopy|Copy|Ctrl+C", "EditPaste|Paste|Ctrl+V", "EditClear|Delete|",
                                "UntitledSeparator|(separator)|", "EditSelectAll|Select All|Ctrl+A"}))
            << window->Title();
    }
}

Names storedDefaults(const std::string& file) {
    sqlite3* db = nullptr;
    Names paths;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    const auto collect = [](void* into, int, char** values, char**) {
        static_cast<Names*>(into)->emplace_back(values[0] ? values[0] : "");
        return 0;
    };
    sqlite3_exec(db, "SELECT paths FROM DefDBs", collect, &paths, nullptr);
    sqlite3_close(db);
    return paths;
}

TEST(ConsoleQuit, EveryWayOfQuittingRunsTheCloseEvent) {
    // File > Quit with the mouse, in the menu bar of that window.
    const auto fileQuit = [](platform::ui::Window& window) {
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        QMenuBar& bar = *window.menuBarWidget();
        QTest::mouseClick(&bar, Qt::LeftButton, {}, bar.actionGeometry(bar.actions()[0]).center());
        QMenu& file = *bar.actions()[0]->menu();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&file));
        QTest::mouseClick(&file, Qt::LeftButton, {}, file.actionGeometry(file.actions()[3]).center());
    };
    const std::function<void(dbswindow&)> ways[] = {
        [](dbswindow& window) { window.close(); },
        [](dbswindow& window) { QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier); },
        [&fileQuit](dbswindow& window) { fileQuit(window); },
        [&fileQuit](dbswindow&) { fileQuit(logswindow::instance()); },
    };
    for (int way = 0; way < 4; ++way) {
        ConsoleRun run;
        const std::string preferences = (run.root / "preferences").string();
        sqlite3* db = nullptr;
        sqlite3_open(preferences.c_str(), &db);
        sqlite3_exec(db, "CREATE TABLE DefDBs(paths TEXT)", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        run.application.prefsFoit = platform::FolderItem(preferences);
        run.application.defDatabases = {run.file("kept.vxo")};
        dbswindow& window = run.console();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

        ways[way](window);
        EXPECT_TRUE(run.application.isQuitting()) << way;
        EXPECT_EQ(storedDefaults(preferences), Names{run.file("kept.vxo").AbsolutePath()}) << way;
        char month[8];
        const std::time_t now = std::time(nullptr);
        std::strftime(month, sizeof month, "%Y-%m", std::localtime(&now));
        const std::string log = readFile(run.root / "app" / "logs" / ("serverlog-" + std::string(month) + ".log"));
        EXPECT_NE(log.find("QUIT ---- Quorvantel server quit"), std::string::npos) << way;
    }
}

}  // namespace
