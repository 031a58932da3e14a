// The console's database list: the rows a rebuild makes from the three lists, the moves that
// ticking "search" and "default" makes between them, the selection and the path field, the
// remove button's remembered row, the list kept as it was across a return to the console, the
// sizes of its texts and the files dropped on the window.

#include "console_fixture.h"

#include <QHeaderView>
#include <QHelpEvent>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QToolTip>
#include <QUrl>

namespace {

using namespace consoletest;
using platform::FolderItem;

constexpr int kSearch = dbswindow::kSearchColumn;
constexpr int kDefault = dbswindow::kDefaultColumn;

class DatabaseListTest : public ConsoleTest {
 protected:
    std::vector<FolderItem> files(const Names& names) {
        std::vector<FolderItem> made;
        for (const std::string& name : names) made.push_back(run.file(name));
        return made;
    }
    void registerDatabases(const Names& searched, const Names& unsearched, const Names& defaults) {
        run.application.databases = files(searched);
        console().nichtsDBS = files(unsearched);
        run.application.defDatabases = files(defaults);
        console().aktualizacia();
    }
    platform::ui::Listbox& list() { return *console().datasList; }
    // Each row as "name, S when searched, D when default, the hidden index".
    Names rows() {
        Names rows;
        for (int r = 0; r < list().ListCount(); ++r)
            rows.push_back(list().Cell(r, 0) + " " + (list().CellCheck(r, kSearch) ? "S" : "-") +
                           (list().CellCheck(r, kDefault) ? "D" : "-") + " " + list().Cell(r, dbswindow::kIndexColumn));
        return rows;
    }
    int rowNamed(const std::string& name) {
        for (int r = 0; r < list().ListCount(); ++r)
            if (list().Cell(r, 0) == name) return r;
        return -1;
    }
    // Dragged over the console and dropped, as a file manager does.
    bool drop(const Names& names) {
        QMimeData data;
        QList<QUrl> urls;
        for (const std::string& name : names) urls.push_back(QUrl::fromLocalFile(QString::fromStdString(name)));
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(175, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&console(), &enter);
        QDropEvent dropped(QPointF(175, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        if (enter.isAccepted()) QApplication::sendEvent(&console(), &dropped);
        return enter.isAccepted();
    }
};

TEST_F(DatabaseListTest, ARebuildListsEveryDatabaseByNameIgnoringCaseAndNamesALostDefault) {
    registerDatabases({"Charlie.vxo", "alpha.vxo"}, {"delta.vxo", "Bravo.vxo"}, {"delta.vxo", "ghost.vxo", "alpha.vxo"});
    EXPECT_EQ(rows(), (Names{"alpha.vxo SD 1", "Bravo.vxo -- 1", "Charlie.vxo S- 0", "delta.vxo -D 0", "ghost.vxo -D "}));
    EXPECT_EQ(list().Cell(1, dbswindow::kPathColumn), run.file("Bravo.vxo").AbsolutePath());
    EXPECT_EQ(*run.messages, Names{"ghost.vxo"});

    // Two databases of one name: the default mark goes by path.
    const FolderItem other((run.root / "app" / "alpha.vxo").string());
    std::ofstream(other.AbsolutePath()) << "";
    run.application.databases = {run.file("alpha.vxo"), other};
    console().nichtsDBS.clear();
    run.application.defDatabases = {other};
    console().aktualizacia();
    ASSERT_EQ(list().ListCount(), 2);
    EXPECT_EQ(list().CellCheck(0, kDefault), list().Cell(0, dbswindow::kPathColumn) == other.AbsolutePath());
    EXPECT_NE(list().CellCheck(0, kDefault), list().CellCheck(1, kDefault));
}

TEST_F(DatabaseListTest, TickingABoxMovesTheDatabaseBetweenTheLists) {
    struct Click {
        Names searched, unsearched, defaults;
        bool deleted;  // the clicked database's file is gone from the disk
        const char* row;
        int column;
        Names searchedAfter, unsearchedAfter, defaultsAfter, messages;
    };
    const Click clicks[] = {
        {{"Charlie.vxo", "alpha.vxo", "Bravo.vxo"}, {}, {"Bravo.vxo"}, false, "Bravo.vxo", kSearch,
         {"alpha.vxo", "Charlie.vxo"}, {"Bravo.vxo"}, {"Bravo.vxo"}, {}},
        {{"Charlie.vxo"}, {"delta.vxo", "alpha.vxo"}, {}, false, "alpha.vxo", kSearch,
         {"alpha.vxo", "Charlie.vxo"}, {"delta.vxo"}, {}, {}},
        // Deleted but still a default: it comes back as a row of its own, named in a message.
        {{"alpha.vxo"}, {"Bravo.vxo"}, {"Bravo.vxo"}, true, "Bravo.vxo", kSearch,
         {"alpha.vxo"}, {}, {"Bravo.vxo"}, {"Bravo.vxo"}},
        {{"alpha.vxo"}, {}, {"ghost.vxo"}, false, "alpha.vxo", kSearch,
         {}, {"alpha.vxo", "ghost.vxo"}, {"ghost.vxo"}, {}},
        {{"Charlie.vxo", "alpha.vxo"}, {"Bravo.vxo"}, {"Charlie.vxo"}, false, "alpha.vxo", kDefault,
         {"Charlie.vxo", "alpha.vxo"}, {"Bravo.vxo"}, {"alpha.vxo", "Charlie.vxo"}, {}},
        {{"alpha.vxo"}, {"Bravo.vxo"}, {"alpha.vxo", "Bravo.vxo"}, false, "Bravo.vxo", kDefault,
         {"alpha.vxo"}, {"Bravo.vxo"}, {"alpha.vxo"}, {}},
    };
    for (const Click& c : clicks) {
        registerDatabases(c.searched, c.unsearched, c.defaults);
        if (c.deleted) std::filesystem::remove(run.root / c.row);
        run.messages->clear();
        clickCheckBox(list(), rowNamed(c.row), c.column);
        EXPECT_EQ(namesOf(run.application.databases), c.searchedAfter) << c.row;
        EXPECT_EQ(namesOf(console().nichtsDBS), c.unsearchedAfter) << c.row;
        EXPECT_EQ(namesOf(run.application.defDatabases), c.defaultsAfter) << c.row;
        EXPECT_EQ(*run.messages, c.messages) << c.row;
        const Names shown = rows();  // made again from the lists by the click
        console().aktualizacia();
        EXPECT_EQ(shown, rows()) << c.row;
        if (c.deleted) { EXPECT_EQ(shown, (Names{"alpha.vxo S- 0", "Bravo.vxo -D "})); }
    }
}

TEST_F(DatabaseListTest, SelectingARowShowsItsPathWhichOutlivesARebuild) {
    registerDatabases({"alpha.vxo", "Bravo.vxo", "Charlie.vxo"}, {}, {});
    clickName(list(), 2);
    const std::string path = run.file("Charlie.vxo").AbsolutePath();
    EXPECT_EQ(console().selectedOne, 2);
    EXPECT_EQ(console().dataPath->Text(), path);
    clickCheckBox(list(), 0, kDefault);  // no selection, and its rebuild clears the one there was
    EXPECT_EQ(list().ListIndex(), -1);
    EXPECT_EQ(console().selectedOne, 2);
    EXPECT_EQ(console().dataPath->Text(), path);

    // A path longer than the field shows: its end, with the catalog's name, is what stays in view.
    std::string deep;
    for (int i = 0; i < 12; ++i) deep += "archive-folder-" + std::to_string(i) + "/";
    std::filesystem::create_directories(run.root / deep);
    registerDatabases({deep + "zulu.vxo", "alpha.vxo"}, {}, {});
    clickName(list(), 0);  // alpha, which sets the field's view back to its start
    clickName(list(), 1);
    auto* field = qobject_cast<QPlainTextEdit*>(&console().dataPath->focusTarget());
    ASSERT_NE(field, nullptr);
    EXPECT_TRUE(waitFor([&] { return field->verticalScrollBar()->value() > 0; })) << "nothing beyond the first lines";
    EXPECT_EQ(field->verticalScrollBar()->value(), field->verticalScrollBar()->maximum());
    EXPECT_TRUE(field->viewport()->rect().contains(field->cursorRect())) << "the end is out of view";
}

TEST_F(DatabaseListTest, ReturningFromTheLogWindowRebuildsTheListAndKeepsTheSelectedRowWhereItWas) {
    Names names;
    for (int i = 0; i < 40; ++i) names.push_back("db" + std::to_string(100 + i) + ".vxo");
    registerDatabases(names, {}, {});
    console().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&console()));
    list().scrollToItem(list().topLevelItem(30));
    clickName(list(), 30);
    const int scrolled = list().verticalScrollBar()->value();
    ASSERT_GT(scrolled, 0);

    run.application.databases.push_back(run.file("aardvark.vxo"));  // the rebuild puts it first
    for (QWidget* window : {static_cast<QWidget*>(&logswindow::instance()), static_cast<QWidget*>(&console())}) {
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window)) << window->objectName().toStdString();
    }
    EXPECT_EQ(list().ListCount(), 41);
    EXPECT_EQ(list().ListIndex(), 31);
    EXPECT_EQ(console().selectedOne, 31);
    EXPECT_EQ(console().dataPath->Text(), run.file("db130.vxo").AbsolutePath());
    EXPECT_EQ(list().verticalScrollBar()->value(), scrolled);
}

TEST_F(DatabaseListTest, TextIsNoLargerThanTheRestHeadingsShowWholeAndACutOffNameShowsInAHelpTag) {
    const auto points = [](const QWidget& widget) { return widget.font().pointSizeF(); };
    EXPECT_LE(points(list()), points(*console().StaticText3));
    EXPECT_LT(points(console().dataPath->focusTarget()), points(list())) << "the small system font is smaller";

    // Each heading whole at its column's width, with the scroll bar hidden and shown.
    const QHeaderView& header = *list().header();
    const int margin = header.style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, &header);
    for (const int count : {1, 40}) {
        Names names;
        for (int i = 0; i < count; ++i) names.push_back("db" + std::to_string(100 + i) + ".vxo");
        registerDatabases(names, {}, {});
        ASSERT_TRUE(waitFor([&] { return list().verticalScrollBar()->isVisible() == (count > 1); }));
        for (int column = 0; column < list().ColumnCount(); ++column)
            EXPECT_LE(header.fontMetrics().horizontalAdvance(QString::fromStdString(list().Heading(column))),
                      header.sectionSize(column) - 2 * margin)
                << list().Heading(column) << " among " << count << " rows";
    }

    // A help tag for each name cut off, and none for a name shown whole.
    const std::string cutOff = "catalog-of-the-archive-disks-in-the-basement-from-2019-to-2024.vxo";
    const auto tagOf = [this](const std::string& name) {
        QToolTip::hideText();
        EXPECT_TRUE(waitFor([] { return !QToolTip::isVisible(); }));
        const QPoint at = list().visualRect(list().model()->index(rowNamed(name), 0)).center();
        QHelpEvent help(QEvent::ToolTip, at, list().viewport()->mapToGlobal(at));
        QApplication::sendEvent(list().viewport(), &help);
        return QToolTip::isVisible() ? QToolTip::text().toStdString() : "";
    };
    registerDatabases({"short.vxo", cutOff}, {}, {});
    EXPECT_EQ(tagOf("short.vxo"), "");
    EXPECT_EQ(tagOf(cutOff), cutOff);
    // A name still narrower than its cell is cut off by the cell's text margins: the narrowest
    // name with a tag is one of those.
    Names widening;
    for (int i = 1; i <= 120; ++i) widening.push_back(std::string(static_cast<size_t>(i), 'i'));
    registerDatabases(widening, {}, {});
    const auto firstTagged = std::find_if(widening.begin(), widening.end(),
                                          [&tagOf](const std::string& name) { return !tagOf(name).empty(); });
    ASSERT_NE(firstTagged, widening.end());
    EXPECT_LT(QFontMetrics(list().font()).horizontalAdvance(QString::fromStdString(*firstTagged)),
              list().visualRect(list().model()->index(0, 0)).width());
}

TEST_F(DatabaseListTest, TheRemoveButtonActsOnTheRowSelectedLast) {
    registerDatabases({"alpha.vxo", "charlie.vxo"}, {"bravo.vxo"}, {"alpha.vxo", "bravo.vxo"});
    const auto remove = [this] { QTest::mouseClick(console().minusc, Qt::LeftButton); };
    remove();  // before any selection: row 0
    EXPECT_EQ(namesOf(run.application.databases), Names{"charlie.vxo"});
    EXPECT_EQ(namesOf(run.application.defDatabases), Names{"bravo.vxo"});

    clickName(list(), 1);
    remove();
    EXPECT_TRUE(run.application.databases.empty());
    EXPECT_EQ(console().selectedOne, 1) << "kept across the rebuild";
    remove();  // row 1 is gone now: nothing is removed, and the failure ends in a beep
    EXPECT_EQ(*run.messages, Names{"(beep)"});

    clickName(list(), 0);  // an unsearched default leaves both of its lists
    remove();
    EXPECT_TRUE(console().nichtsDBS.empty() && run.application.defDatabases.empty());

    registerDatabases({}, {"kept.vxo"}, {"ghost.vxo"});
    clickName(list(), 0);  // a default in neither list only loses its mark
    remove();
    EXPECT_TRUE(run.application.defDatabases.empty());
    EXPECT_EQ(namesOf(console().nichtsDBS), Names{"kept.vxo"});
}

TEST_F(DatabaseListTest, ADropRegistersEveryFileWhenTheFirstIsACatalog) {
    // A catalog by its type and creator together, whatever its name; either alone makes none.
    const bool typed = test_support::setFinderInfo(run.file("both.dat").AbsolutePath(), "BINAVaxo") &&
                       test_support::setFinderInfo(run.file("type.dat").AbsolutePath(), "BINAxxxx") &&
                       test_support::setFinderInfo(run.file("creator.dat").AbsolutePath(), "TEXTVaxo");
    const std::pair<Names, Names> cases[] = {
        {{"a.vxo", "notes.txt"}, {"a.vxo", "notes.txt"}}, {{"B.VXO"}, {"B.VXO"}},
        {{"notes.txt", "a.vxo"}, {}},                     {{"a.vxo", "a.vxo"}, {"a.vxo"}},
        {{"a.vxo", "b.vxo", "c.vxo", "d.txt"}, {"a.vxo", "b.vxo", "c.vxo", "d.txt"}},
        {{"both.dat", "a.vxo"}, {"both.dat", "a.vxo"}},   {{"type.dat", "a.vxo"}, {}},
        {{"creator.dat", "a.vxo"}, {}},
    };
    for (const auto& [dropped, registered] : cases) {
        if (dropped[0].ends_with(".dat") && !typed) continue;  // no user extended attributes here
        run.application.databases.clear();
        console().aktualizacia();
        Names paths;
        for (const std::string& name : dropped)
            paths.push_back(name.ends_with(".dat") ? (run.root / name).string() : run.file(name).AbsolutePath());
        run.messages->clear();
        EXPECT_TRUE(drop(paths)) << dropped[0];
        EXPECT_EQ(namesOf(run.application.databases), registered) << dropped[0];
        EXPECT_EQ(list().ListCount(), static_cast<int>(registered.size())) << dropped[0];
        EXPECT_EQ(*run.messages, Names{}) << "neither a beep nor a message, " << dropped[0];
    }
    EXPECT_FALSE(drop({})) << "no local file, no drop";
}

}  // namespace
