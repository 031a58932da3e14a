// The console's database list: the rows a rebuild makes from the three lists, the moves that
// ticking "search" and "default" makes between them, the selection and the path field, the
// removal of an unsearched database and the localised headings.

#include "console_fixture.h"
#include "platform/errors.h"
#include "platform/ui_edit_field.h"
#include "platform/ui_listbox.h"

#include <QTranslator>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

using consoletest::clickCheckBox;
using consoletest::clickName;
using consoletest::ConsoleTest;
using platform::FolderItem;
using platform::ui::Listbox;
using Names = std::vector<std::string>;

constexpr int kSearch = dbswindow::kSearchColumn;
constexpr int kDefault = dbswindow::kDefaultColumn;

Names namesOf(const std::vector<FolderItem>& files) {
    Names names;
    for (const FolderItem& file : files) names.push_back(file.Name());
    return names;
}

struct Row {
    std::string name;
    bool search;
    bool isDefault;
    std::string index;
    bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << "{" << row.name << " search:" << row.search << " default:" << row.isDefault << " index:'" << row.index
               << "'}";
}

std::vector<Row> rowsOf(const Listbox& list) {
    std::vector<Row> rows;
    for (int row = 0; row < list.ListCount(); ++row)
        rows.push_back({list.Cell(row, 0), list.CellCheck(row, kSearch), list.CellCheck(row, kDefault),
                        list.Cell(row, dbswindow::kIndexColumn)});
    return rows;
}

int rowNamed(const Listbox& list, const std::string& name) {
    for (int row = 0; row < list.ListCount(); ++row)
        if (list.Cell(row, 0) == name) return row;
    return -1;
}

// Catalog files by name, all in the test's folder; "Bravo" lives in a folder of its own.
class DatabaseListTest : public ConsoleTest {
 protected:
    FolderItem file(const std::string& name) {
        auto it = files_.find(name);
        if (it == files_.end()) it = files_.emplace(name, remake(name)).first;
        return it->second;
    }
    std::vector<FolderItem> files(const Names& names) {
        std::vector<FolderItem> made;
        for (const std::string& name : names) made.push_back(file(name));
        return made;
    }
    void registerDatabases(const Names& searched, const Names& unsearched, const Names& defaults) {
        run.application.databases = files(searched);
        console().nichtsDBS = files(unsearched);
        run.application.defDatabases = files(defaults);
        console().aktualizacia();
    }
    Listbox& list() { return *console().datasList; }
    FolderItem remake(const std::string& name) { return run.folder.file(name == "Bravo.vxo" ? "b/" + name : name); }

 private:
    std::map<std::string, FolderItem> files_;
};

TEST_F(DatabaseListTest, ARebuildListsEveryRegisteredDatabaseByNameIgnoringCase) {
    registerDatabases({"Charlie.vxo", "alpha.vxo"}, {"delta.vxo", "Bravo.vxo"}, {"delta.vxo", "alpha.vxo"});
    const std::vector<Row> expected = {
        {"alpha.vxo", true, true, "1"},
        {"Bravo.vxo", false, false, "1"},
        {"Charlie.vxo", true, false, "0"},
        {"delta.vxo", false, true, "0"},
    };
    EXPECT_EQ(rowsOf(list()), expected);
    EXPECT_EQ(list().Cell(1, dbswindow::kPathColumn), file("Bravo.vxo").AbsolutePath());
    EXPECT_EQ(list().columnCount(), 3) << "the path and index cells are never shown";
    EXPECT_EQ(list().HeadingIndex(), 0);
    EXPECT_TRUE(run.messages->empty());
}

TEST_F(DatabaseListTest, EmptyListsGiveAnEmptyListUnderItsHeadings) {
    registerDatabases({"alpha.vxo"}, {}, {});
    registerDatabases({}, {}, {});
    EXPECT_EQ(list().ListCount(), 0);
    EXPECT_EQ(list().Heading(0), "Database name");
}

TEST_F(DatabaseListTest, TwoDatabasesOfOneNameKeepTheirRowsApartByPath) {
    const FolderItem other = run.folder.file("elsewhere/alpha.vxo");
    run.application.databases = {file("alpha.vxo"), other};
    run.application.defDatabases = {other};
    console().aktualizacia();
    ASSERT_EQ(list().ListCount(), 2);
    EXPECT_EQ(list().Cell(0, 0), list().Cell(1, 0));
    for (int row = 0; row < 2; ++row) {
        const bool isOther = list().Cell(row, dbswindow::kPathColumn) == other.AbsolutePath();
        EXPECT_EQ(list().CellCheck(row, kDefault), isOther) << "the default mark goes by path, row " << row;
    }
    EXPECT_NE(list().Cell(0, dbswindow::kPathColumn), list().Cell(1, dbswindow::kPathColumn));
}

TEST_F(DatabaseListTest, ADefaultDatabaseInNeitherListIsNamedAndGetsARowOfItsOwn) {
    registerDatabases({"alpha.vxo"}, {}, {"ghost.vxo"});
    EXPECT_EQ(*run.messages, Names{"ghost.vxo"});
    const std::vector<Row> expected = {{"alpha.vxo", true, false, "0"}, {"ghost.vxo", false, true, ""}};
    EXPECT_EQ(rowsOf(list()), expected);

    // Every rebuild names it again while it stays in neither list.
    console().aktualizacia();
    EXPECT_EQ(run.messages->size(), 2u);
}

struct Click {
    const char* label;
    Names searched, unsearched, defaults;
    Names deletedFromDisk;
    const char* row;
    int column;
    Names searchedAfter, unsearchedAfter, defaultsAfter;
    Names messages;  // shown by the click's rebuild
};

const std::vector<Click> kClicks = {
    {"clearing search moves the database to the unsearched ones",
     {"Charlie.vxo", "alpha.vxo", "Bravo.vxo"}, {}, {"Bravo.vxo"}, {}, "Bravo.vxo", kSearch,
     {"alpha.vxo", "Charlie.vxo"}, {"Bravo.vxo"}, {"Bravo.vxo"}, {}},
    {"ticking search brings it back, and the searched ones follow the list's order",
     {"Charlie.vxo"}, {"delta.vxo", "alpha.vxo"}, {}, {}, "alpha.vxo", kSearch,
     {"alpha.vxo", "Charlie.vxo"}, {"delta.vxo"}, {}, {}},
    {"ticking search on a deleted file drops it; still a default, it is named and kept",
     {"alpha.vxo"}, {"Bravo.vxo"}, {"Bravo.vxo"}, {"Bravo.vxo"}, "Bravo.vxo", kSearch,
     {"alpha.vxo"}, {}, {"Bravo.vxo"}, {"Bravo.vxo"}},
    {"a click in the search column takes in a default that was in neither list",
     {"alpha.vxo"}, {}, {"ghost.vxo"}, {}, "alpha.vxo", kSearch,
     {}, {"alpha.vxo", "ghost.vxo"}, {"ghost.vxo"}, {}},
    {"ticking default makes the defaults those ticked, in the list's order",
     {"Charlie.vxo", "alpha.vxo"}, {"Bravo.vxo"}, {"Charlie.vxo"}, {}, "alpha.vxo", kDefault,
     {"Charlie.vxo", "alpha.vxo"}, {"Bravo.vxo"}, {"alpha.vxo", "Charlie.vxo"}, {}},
    {"clearing default leaves the database where it is",
     {"alpha.vxo"}, {"Bravo.vxo"}, {"alpha.vxo", "Bravo.vxo"}, {}, "Bravo.vxo", kDefault,
     {"alpha.vxo"}, {"Bravo.vxo"}, {"alpha.vxo"}, {}},
};

TEST_F(DatabaseListTest, TickingABoxMovesTheDatabaseBetweenTheLists) {
    for (const Click& c : kClicks) {
        registerDatabases(c.searched, c.unsearched, c.defaults);
        for (const std::string& name : c.deletedFromDisk) std::filesystem::remove(file(name).AbsolutePath());
        run.messages->clear();

        clickCheckBox(list(), rowNamed(list(), c.row), c.column);

        EXPECT_EQ(namesOf(run.application.databases), c.searchedAfter) << c.label;
        EXPECT_EQ(namesOf(console().nichtsDBS), c.unsearchedAfter) << c.label;
        EXPECT_EQ(namesOf(run.application.defDatabases), c.defaultsAfter) << c.label;
        EXPECT_EQ(*run.messages, c.messages) << c.label;
        // The rows were made again from the lists: one per registered database and one per
        // default database in neither list.
        Names listed = c.searchedAfter;
        listed.insert(listed.end(), c.unsearchedAfter.begin(), c.unsearchedAfter.end());
        const auto inNoList = std::count_if(c.defaultsAfter.begin(), c.defaultsAfter.end(), [&](const std::string& name) {
            return std::find(listed.begin(), listed.end(), name) == listed.end();
        });
        EXPECT_EQ(list().ListCount(), static_cast<int>(listed.size() + inNoList)) << c.label;
        for (const std::string& name : c.searchedAfter) EXPECT_TRUE(list().CellCheck(rowNamed(list(), name), kSearch));
        for (const std::string& name : c.unsearchedAfter) EXPECT_FALSE(list().CellCheck(rowNamed(list(), name), kSearch));
        for (const std::string& name : c.defaultsAfter) EXPECT_TRUE(list().CellCheck(rowNamed(list(), name), kDefault));
        for (const std::string& name : c.deletedFromDisk) remake(name);
    }
}

TEST_F(DatabaseListTest, SelectingARowShowsItsPathWhichOutlivesARebuild) {
    registerDatabases({"alpha.vxo", "Bravo.vxo", "Charlie.vxo"}, {}, {});
    clickName(list(), 2);
    const std::string path = file("Charlie.vxo").AbsolutePath();
    EXPECT_EQ(console().selectedOne, 2);
    EXPECT_EQ(console().dataPath->Text(), path);
    EXPECT_EQ(console().dataPath->SelStart(), static_cast<int>(path.size()));
    EXPECT_EQ(console().dataPath->SelLength(), 0);

    // A check box elsewhere changes no selection; its rebuild clears the one there was.
    clickCheckBox(list(), 0, kDefault);
    EXPECT_EQ(namesOf(run.application.defDatabases), Names{"alpha.vxo"});
    EXPECT_EQ(list().ListIndex(), -1);
    EXPECT_EQ(console().selectedOne, 2);
    EXPECT_EQ(console().dataPath->Text(), path);
}

TEST_F(DatabaseListTest, RemovingAnUnsearchedDatabase) {
    struct Case {
        const char* label;
        Names defaults;
        bool alsoDefault;
        Names defaultsAfter;
        Names messages;
    };
    const std::vector<Case> cases = {
        {"with its default entry", {"alpha.vxo", "Bravo.vxo"}, true, {"alpha.vxo"}, {}},
        {"not a default", {"alpha.vxo"}, true, {"alpha.vxo"}, {}},
        {"keeping its default entry, which is then in no list", {"Bravo.vxo"}, false, {"Bravo.vxo"}, {"Bravo.vxo"}},
    };
    for (const Case& c : cases) {
        registerDatabases({"alpha.vxo"}, {"delta.vxo", "Bravo.vxo"}, c.defaults);
        run.messages->clear();
        console().removeZnichtsDBS(1, c.alsoDefault);
        EXPECT_EQ(namesOf(console().nichtsDBS), Names{"delta.vxo"}) << c.label;
        EXPECT_EQ(namesOf(run.application.defDatabases), c.defaultsAfter) << c.label;
        EXPECT_EQ(namesOf(run.application.databases), Names{"alpha.vxo"}) << c.label;
        EXPECT_EQ(*run.messages, c.messages) << c.label;
        EXPECT_EQ(rowNamed(list(), "Bravo.vxo") >= 0, !c.messages.empty()) << c.label;
    }
}

TEST_F(DatabaseListTest, RemovingFromNoUnsearchedDatabasesOrOutsideThemChangesNothing) {
    registerDatabases({"alpha.vxo"}, {}, {});
    run.application.databases.clear();
    console().removeZnichtsDBS(0, true);
    EXPECT_EQ(list().ListCount(), 1) << "no rebuild";

    registerDatabases({}, {"alpha.vxo"}, {"alpha.vxo"});
    EXPECT_THROW(console().removeZnichtsDBS(1, true), platform::OutOfBoundsException);
    EXPECT_EQ(namesOf(console().nichtsDBS), Names{"alpha.vxo"});
    EXPECT_EQ(namesOf(run.application.defDatabases), Names{"alpha.vxo"});
}

// Answers one key of the console window's constants.
class HeadingsTranslator final : public QTranslator {
 public:
    explicit HeadingsTranslator(QString headings) : headings_(std::move(headings)) {}
    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* source, const char*, int) const override {
        return qstrcmp(context, "dbswindow") == 0 && qstrcmp(source, "dblistbox_tits") == 0 ? headings_ : QString();
    }

 private:
    QString headings_;
};

TEST(DatabaseListHeadings, ATranslationNamesTheHeadingsOnlyWhenItNamesAllThree) {
    const std::vector<std::pair<QString, Names>> cases = {
        {"Datenbank;Suchen;Standard", {"Datenbank", "Suchen", "Standard"}},
        {"Datenbank;Suchen", {"Database name", "search", "default"}},
        {"Datenbank;Suchen;Standard;Mehr", {"Database name", "search", "default"}},
    };
    for (const auto& [translation, headings] : cases) {
        HeadingsTranslator translator(translation);
        QCoreApplication::installTranslator(&translator);
        consoletest::ConsoleRun run;
        const Listbox& list = *run.console().datasList;
        EXPECT_EQ((Names{list.Heading(0), list.Heading(1), list.Heading(2)}), headings) << translation.toStdString();
        QCoreApplication::removeTranslator(&translator);
    }
}

}  // namespace
