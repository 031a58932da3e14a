// The database loop over real catalog files: which paths are read, the disks of each catalog,
// the getdisks and disk browses, the result limits and the record each row becomes.

#include "catalog_maker.h"

#include "core/app.h"
#include "search/catalog_search.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

namespace {

using namespace qvcatalog;
namespace fs = std::filesystem;

const DiskRow kDisk3{3, "dt3", "dn3", "dl3", "/Volumes/D3/", "dd3"};
const PathRow kRowOnDisk3{"/Volumes/D3/docs/", "a.txt", "0", int64_t{3}, int64_t{1234}, int64_t{100}, int64_t{200},
                          "1", "TEXT", "ttxt"};

std::string disk3Attribute(const std::string& databasePath) {
    return "3::/::dd3::/::dt3::/::/Volumes/D3/::/::dl3::/::dn3::/::" + databasePath;
}

std::string rowOnDisk3Line(const std::string& databasePath) {
    return recordLine({"/Volumes/D3/docs/", "a.txt", "0", disk3Attribute(databasePath), "1234", "100", "200", "1", "TEXT",
                       "ttxt"});
}

std::string overLimitLine(int limit) {
    const std::string name = "OVER LIMIT " + std::to_string(limit);
    return recordLine({"", name, "", "", "", "", "", "", "", ""});
}

std::vector<std::string> names(const RequestState& state) {
    std::vector<std::string> result;
    for (const auto& line : recordLines(state.answer)) result.push_back(attribute(line, "name"));
    return result;
}

class CatalogSearch : public ::testing::Test {
 protected:
    std::string standardCatalog(const std::string& fileName) {
        return maker.make(fileName, disksTable({kDisk3}), pathsTable({kRowOnDisk3}));
    }

    app application;
    CatalogMaker maker;
};

TEST_F(CatalogSearch, PathsThatAreNoCatalogAreSkippedAndTheNextIsStillRead) {
    const std::string good = standardCatalog("good.vxo");
    const std::string goodCopy = standardCatalog("copy.vxo");
    fs::create_directory(maker.folder() / "folder.vxo");
    const std::string fifo = (maker.folder() / "fifo.vxo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string text = maker.makeFile("text.vxo", "not a database, just some text\n");
    const struct {
        const char* what;
        std::string path;
    } cases[] = {
        {"relative path to a real catalog", fs::relative(goodCopy, fs::current_path()).string()},
        {"missing file", (maker.folder() / "missing.vxo").string()},
        {"folder", (maker.folder() / "folder.vxo").string()},
        {"FIFO (must not block)", fifo},
        {"/dev/null", "/dev/null"},
        {"/dev/zero", "/dev/zero"},
        {"text file", text},
        {"empty name", ""},
        {"below a file", good + "/inner.vxo"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(c.path.front(), ':');  // the path must survive the "::" join
        const RequestState state = searchRequest({c.path, good}, "1=1");
        EXPECT_EQ(recordLines(state.answer), std::vector<std::string>{rowOnDisk3Line(good)});
        EXPECT_EQ(state.resultCount, 1);
    }
}

TEST_F(CatalogSearch, RowsBecomeRecordsWithTheDiskEntryOfTheirCatalog) {
    PathRow noEntry = kRowOnDisk3;
    noEntry.name = "b.txt";
    noEntry.disk = int64_t{4};
    maker.make("a.vxo", disksTable({kDisk3}), pathsTable({kRowOnDisk3, noEntry}));
    // The database path in records is the text of the request, not a normalised one.
    const std::string asGiven = (maker.folder() / "." / "a.vxo").string();
    const RequestState state = searchRequest({asGiven}, "1=1");
    EXPECT_EQ(recordLines(state.answer),
              (std::vector<std::string>{rowOnDisk3Line(asGiven),
                                        recordLine({"/Volumes/D3/docs/", "b.txt", "0", "4", "1234", "100", "200", "1",
                                                    "TEXT", "ttxt"})}));
    EXPECT_EQ(state.resultCount, 2);
    EXPECT_EQ(state.runningTotal, 2);
}

TEST_F(CatalogSearch, ColumnsAreFoundByNameInAnyOrderAndLetterCase) {
    const Table disks{{"DD", "extra", "DPATH", "dLabel", "Disk", "dname", "DTYPE"},
                      {{std::string("dd3"), int64_t{9}, std::string("/Volumes/D3/"), std::string("dl3"), int64_t{3},
                        std::string("dn3"), std::string("dt3")}}};
    const Table paths{{"MC", "x1", "Name", "PPATH", "vis", "Disk", "dmd", "mt", "dcr", "SIZE", "itype", "x2"},
                      {{std::string("ttxt"), std::string("junk"), std::string("a.txt"),
                        std::string("/Volumes/D3/docs/"), std::string("1"), int64_t{3}, int64_t{200},
                        std::string("TEXT"), int64_t{100}, int64_t{1234}, std::string("0"), nullptr}}};
    const std::string db = maker.make("shuffled.vxo", disks, paths);
    EXPECT_EQ(recordLines(searchRequest({db}, "1=1").answer), std::vector<std::string>{rowOnDisk3Line(db)});
}

TEST_F(CatalogSearch, AMissingColumnLeavesItsAttributeEmpty) {
    const Table full = pathsTable({kRowOnDisk3});
    for (size_t missing = 0; missing < full.columns.size(); ++missing) {
        SCOPED_TRACE(full.columns[missing]);
        Table paths = full;
        paths.columns.erase(paths.columns.begin() + static_cast<long>(missing));
        paths.rows[0].erase(paths.rows[0].begin() + static_cast<long>(missing));
        const std::string db = maker.make("m" + std::to_string(missing) + ".vxo", disksTable({kDisk3}), paths);
        const auto lines = recordLines(searchRequest({db}, "1=1").answer);
        ASSERT_EQ(lines.size(), 1u);
        const std::string expectedFull = rowOnDisk3Line(db);
        for (const auto& column : full.columns) {
            const std::string expected = column == full.columns[missing] ? "" : attribute(expectedFull, column);
            EXPECT_EQ(attribute(lines[0], column), expected) << "attribute " << column;
        }
    }
}

TEST_F(CatalogSearch, ValuesAreCleanedAndNumbersRoundedToWholes) {
    const struct {
        Value number;
        const char* expected;
    } numbers[] = {
        {1234.0, "1234"}, {2.5, "3"}, {-2.5, "-3"}, {nullptr, "0"}, {int64_t{7}, "7"}, {0.49, "0"}, {-0.4, "0"},
        {std::string("42"), "42"}, {std::string("abc"), "0"}, {int64_t{1} << 40, "1099511627776"},
    };
    std::vector<PathRow> rows;
    for (const auto& n : numbers)
        rows.push_back({"/p\r\n/", "it's \"x\" <a> & b", "0", int64_t{9}, n.number, n.number, n.number, "1", "T", "C"});
    const std::string db = maker.make("values.vxo", disksTable({}), pathsTable(rows));
    const auto lines = recordLines(searchRequest({db}, "1=1").answer);
    ASSERT_EQ(lines.size(), std::size(numbers));
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string n = numbers[i].expected;
        EXPECT_EQ(lines[i], recordLine({"/p\n/", "it::/AP/::s ::/UV/::x::/UV/:: <a> & b", "0", "9", n, n, n, "1", "T",
                                        "C"}));
    }
}

TEST_F(CatalogSearch, DiskEntriesAreRawTheLaterOfTwoCountsAndEachCatalogHasItsOwn) {
    const DiskRow earlier{3, "old", "old", "old", "old", "old"};
    const DiskRow quoted{3, "dt\"3", "O'Brien", "dl3", "/V/", "dd3"};
    const std::string first = maker.make("first.vxo", disksTable({earlier, quoted}), pathsTable({kRowOnDisk3}));
    const std::string second = maker.make("second.vxo", disksTable({}), pathsTable({kRowOnDisk3}));
    const auto lines = recordLines(searchRequest({first, second}, "1=1").answer);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(attribute(lines[0], "disk"), "3::/::dd3::/::dt\"3::/::/V/::/::dl3::/::O'Brien::/::" + first);
    EXPECT_EQ(attribute(lines[1], "disk"), "3") << "the first catalog's disks leaked into the second";
}

TEST_F(CatalogSearch, ADiskValueHoldingTheInfoSeparatorShiftsTheParts) {
    const DiskRow shifted{3, std::string("A") + std::string(kDiskInfoSeparator) + "B", "dn3", "dl3", "/V/", "dd3"};
    const std::string db = maker.make("shift.vxo", disksTable({shifted}), pathsTable({kRowOnDisk3}));
    const auto rows = recordLines(searchRequest({db}, "1=1").answer);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(attribute(rows[0], "disk"), "3::/::/V/::/::A::/::dl3::/::dn3::/::B::/::" + db);
    const auto disks = recordLines(serveRequest("vaxo-browse", {db}, kGetdisksMarker).answer);
    EXPECT_EQ(disks, std::vector<std::string>{recordLine(
                         {"dl3", "B", "A", "dd3::/::/V/::/::::/::::/::::/::::/::" + db, "dn3", " ", " ", "vaxo-disk", " ",
                          " "})});
}

TEST_F(CatalogSearch, GetdisksListsEachCatalogsDisksInAscendingOrderUncounted) {
    const std::string one = maker.make("one.vxo",
                                       disksTable({{5, "t5", "n5", "l5", "p5", "d5"}, {2, "t2", "n2", "l2", "p2", "d2"}}),
                                       pathsTable({kRowOnDisk3}));
    const std::string two = maker.make("two.vxo", disksTable({{9, "t9", "n9", "l9", "p9", "d9"}}), pathsTable({}));
    const auto disk = [](int n, const std::string& db) {
        const std::string s = std::to_string(n);
        return recordLine({"p" + s, "n" + s, "t" + s, s + "::/::d" + s + "::/::::/::::/::::/::::/::" + db, "l" + s, " ",
                           " ", "vaxo-disk", " ", " "});
    };
    const std::vector<std::string> expected = {disk(2, one), disk(5, one), disk(9, two)};
    for (const char* command : {"vaxo-browse", "VAXO-Browse"}) {
        for (const std::string_view marker :
             {kGetdisksMarker, std::string_view("select * from DISKS order by disk asc;''''';GETDISKS")}) {
            SCOPED_TRACE(std::string(command) + " " + std::string(marker));
            const RequestState state = serveRequest(command, {one, two}, marker);
            EXPECT_EQ(recordLines(state.answer), expected);
            EXPECT_EQ(state.resultCount, 0);
            EXPECT_EQ(state.condition, marker) << "a getdisks browse is no disk browse";
        }
    }
    // The marker is no browse for a search, nor with anything around it.
    EXPECT_TRUE(recordLines(searchRequest({one}, kGetdisksMarker).answer).empty());
    EXPECT_TRUE(recordLines(serveRequest("vaxo-browse", {one}, std::string(kGetdisksMarker) + " ").answer).empty());
}

TEST_F(CatalogSearch, DiskBrowseSearchesEveryCatalogOnTheOneDiskRewrittenOnce) {
    std::vector<PathRow> rows;
    for (int64_t disk : {1, 3, 2, 3}) rows.push_back({"/p/", "f" + std::to_string(disk), "0", disk, int64_t{1},
                                                       int64_t{1}, int64_t{1}, "1", "T", "C"});
    const std::string a = maker.make("a.vxo", disksTable({kDisk3}), pathsTable(rows));
    const std::string b = maker.make("b.vxo", disksTable({}), pathsTable(rows));
    const RequestState state = serveRequest("vaxo-browse", {a, b}, "name LIKE 'f%';''''';3");
    EXPECT_EQ(names(state), (std::vector<std::string>{"f3", "f3", "f3", "f3"}));
    EXPECT_EQ(state.condition, "name LIKE 'f%' AND (disk=3)");
    EXPECT_EQ(state.resultCount, 4);
}

TEST(CatalogDiskBrowseCondition, TakesTheNumberAfterTheSeparatorOrZero) {
    const struct {
        const char* input;
        const char* expected;
    } cases[] = {
        {"W;''''';3", "W AND (disk=3)"},
        {"W", "W AND (disk=0)"},
        {"W;''''';", "W AND (disk=0)"},
        {"W;''''';x", "W AND (disk=0)"},
        {"W;''''';3.9", "W AND (disk=3)"},
        {"W;''''';-2.9", "W AND (disk=-2)"},
        {"W;''''';  7abc", "W AND (disk=7)"},
        {"W;''''';3;''''';5", "W AND (disk=3)"},
        {";''''';4", " AND (disk=4)"},
        {"", " AND (disk=0)"},
    };
    for (const auto& c : cases) EXPECT_EQ(diskBrowseCondition(c.input), c.expected) << "input: " << c.input;
}

struct LimitCase {
    const char* what;
    int totalLimit, databaseLimit;
    std::vector<int> matches;       // matching rows of each catalog, in request order
    std::vector<int> rowsWritten;   // row records of each catalog; -1 for the over-limit record
    int runningTotal, resultCount;
};

TEST_F(CatalogSearch, CountsGateEachCatalogAgainstTheTotalLimit) {
    int made = 0;
    const LimitCase cases[] = {
        {"limit reached by the running total", 2000, 500, {1999, 1, 0}, {500, -1, -1}, 2000, 500},
        {"first catalog alone at the limit", 2000, 500, {2000}, {-1}, 2000, 0},
        {"rows summed until the gate closes", 10, 500, {2, 0, 5, 3}, {2, 0, 5, -1}, 10, 7},
        {"per-catalog limit only", 2000, 3, {5, 1}, {3, 1}, 6, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        application.PREFmaxresultstotal = c.totalLimit;
        application.PREFmaxresultsdatabase = c.databaseLimit;
        std::vector<std::string> paths;
        for (int matching : c.matches) {
            // Rows that do not match show that the count follows the condition.
            Table table = manyPaths(matching);
            table.rows.push_back({std::string("/p/"), std::string("other"), std::string("0"), int64_t{1}, int64_t{1},
                                  int64_t{1}, int64_t{1}, std::string("1"), std::string("T"), std::string("C")});
            paths.push_back(maker.make("l" + std::to_string(++made) + ".vxo", disksTable({}), table));
        }
        const RequestState state = searchRequest(paths, "name LIKE 'f%'");
        std::vector<std::string> expected;
        for (int written : c.rowsWritten) {
            if (written < 0) expected.push_back(overLimitLine(c.totalLimit));
            for (int i = 0; i < written; ++i) expected.push_back("f" + std::to_string(i));
        }
        std::vector<std::string> seen;
        for (const auto& line : recordLines(state.answer))
            seen.push_back(line.find("OVER LIMIT") != std::string::npos ? line : attribute(line, "name"));
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(state.runningTotal, c.runningTotal);
        EXPECT_EQ(state.resultCount, c.resultCount);
    }
}

TEST_F(CatalogSearch, TheOverLimitRecordIsWrittenExactly) {
    const std::string db = maker.make("big.vxo", disksTable({}), manyPaths(2000));
    EXPECT_EQ(recordLines(searchRequest({db}, "1=1").answer),
              std::vector<std::string>{R"(		<record ppath="" name="OVER LIMIT 2000" itype="" disk="" size="" dcr="" dmd="" vis="" mt="" mc=""/>)"
                                       "\n"});
}

}  // namespace
