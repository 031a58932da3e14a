// The database loop over real catalog files: the disks of each catalog, the getdisks and disk
// browses, the result limits, the record each row becomes and the two text guards; then
// conditions written to escape the catalog statement or never end, and paths that are no catalog
// or vanish: each request still gets its whole answer, no file changes, and the request after it
// is served as if nothing had happened.

#include "catalog_maker.h"
#include "test_support/sqlite_files.h"

#include "core/app.h"
#include "platform/thread.h"
#include "search/catalog_search.h"
#include "search/search_answer.h"
#include "search/sql_sanitizers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace qvcatalog;
using namespace std::chrono_literals;
using test_support::kGetdisks;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

class CatalogSearch : public ::testing::Test {
 protected:
    app application;
    CatalogMaker maker;
};
using HostileCatalog = CatalogSearch;

TEST_F(CatalogSearch, EachCatalogsDisksGoIntoItsRowsAndItsGetdisksBrowse) {
    // Two entries for disk 3: the later wins, its values raw, quotes and all. A dtype holding
    // the info separator shifts the parts that are split out of the joined info.
    const Table disks = disksTable({{3, "o", "o", "o", "o", "o"}, {3, "t\"3", "O'B", "l3", "/V/", "d3"},
                                    {7, "A::::\\/'\\/'::::B", "n7", "l7", "/W/", "d7"}});
    const Row row{"/V/docs/", "a.txt", "0", 3, 1234, 100, 200, "1", "TEXT", "ttxt"};
    maker.make("first.vxo", disks, pathsTable({row, pathRow("b", 4), pathRow("c", 7)}));
    const std::string second = maker.make(
        "second.vxo", disksTable({{5, "t5", "n5", "l5", "p5", "d5"}, {2, "t2", "n2", "l2", "p2", "d2"}}),
        pathsTable({pathRow("d", 3)}));
    // The database path in records is the text of the request, not a normalised one.
    const std::string first = (maker.folder() / "." / "first.vxo").string();
    const Lines lines = recordLines(searchRequest({first, second}, "1=1").answer);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], recordLine({"/V/docs/", "a.txt", "0", "3::/::d3::/::t\"3::/::/V/::/::l3::/::O'B::/::" + first,
                                    "1234", "100", "200", "1", "TEXT", "ttxt"}));
    EXPECT_EQ(attribute(lines[1], "disk"), "4");
    EXPECT_EQ(attribute(lines[2], "disk"), "7::/::/W/::/::A::/::l7::/::n7::/::B::/::" + first);
    EXPECT_EQ(attribute(lines[3], "disk"), "3") << "the first catalog's disks leaked into the second";

    // In ascending disk order, uncounted: dpath, dlabel, dtype, "disk::/::dd" then the path, dname.
    Lines expected;
    for (const auto& [v, db] : {std::pair<Lines, std::string>{{"/V/", "O'B", "t\"3", "3::/::d3", "l3"}, first},
                                {{"l7", "B", "A", "d7::/::/W/", "n7"}, first},
                                {{"p2", "n2", "t2", "2::/::d2", "l2"}, second},
                                {{"p5", "n5", "t5", "5::/::d5", "l5"}, second}})
        expected.push_back(recordLine(
            {v[0], v[1], v[2], v[3] + "::/::::/::::/::::/::::/::" + db, v[4], " ", " ", "vaxo-disk", " ", " "}));
    for (const std::string_view marker : {kGetdisks, std::string_view("select * from DISKS order by disk asc;''''';GETDISKS")}) {
        const RequestState state = serveRequest(marker == kGetdisks ? "vaxo-browse" : "VAXO-Browse", {first, second}, marker);
        EXPECT_EQ(recordLines(state.answer), expected);
        EXPECT_EQ(state.resultCount, 0);
        EXPECT_EQ(state.condition, marker) << "a getdisks browse is no disk browse";
    }
    // The marker is no browse for a search, nor with anything around it.
    EXPECT_EQ(names(searchRequest({second}, kGetdisks)), Lines{});
    EXPECT_EQ(names(serveRequest("vaxo-browse", {second}, std::string(kGetdisks) + " ")), Lines{});
}

TEST_F(CatalogSearch, ColumnsAreFoundByNameAndValuesAreCleanedAndRounded) {
    // Extra columns, any order and letter case, and no dmd column at all.
    Table paths{{"MC", "x1", "Name", "PPATH", "vis", "Disk", "mt", "dcr", "SIZE", "itype"}, {}};
    const std::pair<Value, const char*> numbers[] = {{2.5, "3"},   {-2.5, "-3"}, {0.49, "0"}, {nullptr, "0"},
                                                     {"42", "42"}, {"abc", "0"}, {int64_t{1} << 40, "1099511627776"}};
    for (const auto& [n, text] : numbers)
        paths.rows.push_back({"C", "junk", "it's \"x\" <a> & b", "/p\r\n/", "1", 9, "T", 100, n, "0"});
    const Lines lines = recordLines(searchRequest({maker.make("v.vxo", disksTable({}), paths)}, "1=1").answer);
    ASSERT_EQ(lines.size(), std::size(numbers));
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i], recordLine({"/p\n/", "it::/AP/::s ::/UV/::x::/UV/:: <a> & b", "0", "9", numbers[i].second,
                                        "100", "", "1", "T", "C"}));
}

TEST_F(CatalogSearch, DiskBrowseSearchesEveryCatalogOnTheOneDiskRewrittenOnce) {
    const Table rows = pathsTable({pathRow("f1", 1), pathRow("f3", 3), pathRow("f2", 2), pathRow("f3", 3)});
    const std::string a = maker.make("a.vxo", disksTable({}), rows), b = maker.make("b.vxo", disksTable({}), rows);
    const RequestState state = serveRequest("vaxo-browse", {a, b}, "name LIKE 'f%';''''';3");
    EXPECT_EQ(names(state), (Lines{"f3", "f3", "f3", "f3"}));
    EXPECT_EQ(state.condition, "name LIKE 'f%' AND (disk=3)");
    EXPECT_EQ(state.resultCount, 4);
    const std::pair<const char*, const char*> cases[] = {
        {"W", "W AND (disk=0)"}, {"W;''''';x", "W AND (disk=0)"},      {"W;''''';-2.9", "W AND (disk=-2)"},
        {"", " AND (disk=0)"},   {"W;''''';  7abc", "W AND (disk=7)"}, {"W;''''';3;''''';5", "W AND (disk=3)"}};
    for (const auto& [input, expected] : cases) EXPECT_EQ(diskBrowseCondition(input), expected) << input;
}

TEST_F(CatalogSearch, CountsGateEachCatalogAgainstTheTotalLimit) {
    const struct {
        int totalLimit, databaseLimit;
        std::vector<int> matches;  // matching rows of each catalog, in request order
        std::vector<int> records;  // runs of rows "f0", "f1", ... of each catalog; 0: the over-limit record
        int runningTotal, resultCount;
    } cases[] = {
        {2000, 500, {1999, 1, 0}, {500, 0, 0}, 2000, 500},
        {10, 500, {2, 0, 5, 3}, {2, 5, 0}, 10, 7},
        {2000, 3, {5, 1}, {3, 1}, 6, 4},
    };
    int made = 0;
    for (const auto& c : cases) {
        application.PREFmaxresultstotal = c.totalLimit;
        application.PREFmaxresultsdatabase = c.databaseLimit;
        std::vector<std::string> paths;
        for (int matching : c.matches) {
            Table table = manyPaths(matching);
            table.rows.push_back(pathRow("other"));  // the count follows the condition
            paths.push_back(maker.make(std::to_string(++made) + ".vxo", disksTable({}), table));
        }
        const RequestState state = searchRequest(paths, "name LIKE 'f%'");
        const std::string over = "OVER LIMIT " + std::to_string(c.totalLimit);
        Lines expected;
        for (int run : c.records)
            for (int i = 0; i < std::max(run, 1); ++i) expected.push_back(run ? "f" + std::to_string(i) : over);
        EXPECT_EQ(names(state), expected) << c.totalLimit;
        const std::string overLine = recordLine({"", over, "", "", "", "", "", "", "", ""});
        EXPECT_EQ(recordLines(state.answer).back() == overLine, expected.back() == over);
        EXPECT_EQ(state.runningTotal, c.runningTotal);
        EXPECT_EQ(state.resultCount, c.resultCount);
    }
}

TEST(Sanitizers, CutAtTheSemicolonDeleteStatementWordsOutsideBothQuotesAndMarkQuotes) {
    const std::pair<std::string, std::string> cases[] = {
        {"name = 'a;b'", "name = 'a"},
        {"alter Drop dElEtE truncate insert update set", "      "},
        {"OFFSET UPDATED", "OFF D"},
        // What the first pass joins together the second deletes, once; within a pass the words
        // go in their order, so ALTER joins a DROP that goes too and SET one that stays.
        {"DRDROPOP", ""},
        {"DRDRDROPOPOP", "DROP"},
        {"\"DRALTEROP\" \"DRSETOP\"", "\"\" \"DROP\""},
        {"ſET caf\xc3\xa9", "ſET caf\xc3\xa9"},  // only ASCII letters fold
        {"'DROP' \"'DROP'\" '\"DROP\"'", "'' \"'DROP'\" '\"DROP\"'"},
        {"name = \"DROP", "name = \""},  // an unclosed quote reaches the end
        {"name = '\"SET", "name = '\"SET"},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(gfs::anotherkiller(input), expected) << input;
    EXPECT_EQ(gfs::killBadChars("it's \"x\"\r\n"), "it::/AP/::s ::/UV/::x::/UV/::\r\n");
}

// A comment can swallow the LIMIT after the condition, and a union can make the count fail or
// absurd (without overflow) so that the running total never grows: none lifts the limit of 3.
TEST_F(HostileCatalog, ConditionsThatReachBeyondTheirStatementAreRejected) {
    application.PREFmaxresultsdatabase = 3;
    // Each row is named after what a condition would reach if it escaped the paths table.
    const Lines all = {"paths", "ppath", "dn3"};
    const std::string db =
        maker.make("target.vxo", disksTable({{3, "dt", "dn3", "dl", "dp", "dd"}}),
                   pathsTable({pathRow("paths"), pathRow("ppath"), pathRow("dn3"), pathRow("plain")}));
    const std::string attached = (maker.folder() / "attached.db").string();
    // Terms "name = 'n0'" ... OR'd together, the last one naming a row: the deepest one matches.
    const auto deep = [](int terms, const std::string& last) {
        std::string chain;
        for (int i = 0; i + 1 < terms; ++i) chain += "name = 'n" + std::to_string(i) + "' OR ";
        return chain + "name = '" + last + "'";
    };
    const std::pair<std::string, Lines> cases[] = {
        // Sound conditions work under the guard.
        {"name LIKE 'P%' AND name GLOB '*s'", {"paths"}},
        {"substr(lower(name), 1, 2) = 'dn' AND typeof(size) = 'integer'", {"dn3"}},
        {"name IN (SELECT name FROM paths WHERE length(name) = 5)", {"paths", "ppath", "plain"}},
        {"1=1; DROP TABLE paths", all},  // cut at the semicolon
        {"1=1 --", all},
        // The count rejects these, the select, capped at 3, does not; disks is the catalog's own.
        {"0 UNION ALL SELECT * FROM paths", all},
        {"0 UNION ALL SELECT dname, dname, dname, disk, 1, 1, 1, 1, 1, 1 FROM disks", {"dn3"}},
        {"1 UNION SELECT-1e30", {}},
        {"0) ; UPDATE paths SET name = 'x' WHERE (1", {}},
        {"1=1) ; ATTACH DATABASE '" + attached + "' AS x", {}},
        {"1=1 AND (SELECT load_extension('x'))", {}},
        {"name IN (SELECT name FROM sqlite_master)", {}},
        {"name IN (SELECT name FROM pragma_table_info('paths'))", {}},
        {"length(zeroblob(2000000000))>0", {}},
        // One call of these can compare every position of a long text with a long argument.
        {"replace(name, 'p', '') = 'aths'", {}},
        {"instr(name, 'a') = 2", {}},
        {"trim(name, 'p') = 'aths'", {}},
        {"rtrim(name, 's') = 'path'", {}},
        {"printf('%s', name) = 'paths'", {}},
        {"name LIKE '" + std::string(3'000, '%') + "'", {}},
        {"name LIKE '" + std::string(2'000'000, '%') + "'", {}},
        // As deep as the engine takes (a chain of n terms is n + 1 deep), and beyond it.
        {deep(300, "paths"), {"paths"}},
        {deep(999, "dn3"), {"dn3"}},
        {deep(1000, "dn3"), {}},
        {deep(1301, "x") + " OR 1=1", {}},
        {"name = 'paths'" + std::string(100'000 - 14, ' '), {"paths"}},  // the longest condition sent
        {"name = 'paths'" + std::string(100'000 - 13, ' '), {}},
        {std::string("1=1\0 OR 1", 9), {}},
        // The first row matches, the second makes the statement fail: nothing of it may count.
        {"CASE WHEN name = 'paths' THEN 1 ELSE abs(size * 0 - 9223372036854775807 - 1) END", {}},
    };
    const std::string bytes = readFile(db);
    for (const auto& [condition, expected] : cases) {
        SCOPED_TRACE(condition.substr(0, 80));
        EXPECT_EQ(names(searchRequest({db}, condition)), expected);
        EXPECT_EQ(readFile(db), bytes) << "the catalog file changed";
        EXPECT_EQ(names(searchRequest({db}, "1=1")), all) << "the next request was affected";
    }
    EXPECT_FALSE(fs::exists(attached));
}

// The time bound interrupts the engine between its steps: a statement of many steps is stopped
// there, and a function whose one call can run for seconds must not be callable at all.
TEST_F(HostileCatalog, StatementsThatWouldNeverEndAreStoppedAndRejected) {
    const std::string db = maker.make("slow.vxo", disksTable({}), manyPaths(3000));
    setCatalogStatementTimeLimit(200ms);
    for (const auto& [condition, cut] : std::initializer_list<std::pair<const char*, AnswerCut>>{
             {"disk IN (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) SELECT x FROM c)",
              AnswerCut::None},  // denied when prepared
             {"(SELECT count(*) FROM paths a, paths b, paths c, paths d) > 0", AnswerCut::TimeLimit},
             {"length(printf('%.*c', 2000000000, name)) > 0", AnswerCut::None}}) {
        const RequestState state = searchRequest({db, db}, condition);
        EXPECT_EQ(names(state), Lines{}) << condition;
        EXPECT_EQ(state.answerCut, cut) << condition << ": only a search stopped by the time bound says so";
        const RequestState next = searchRequest({db}, "name = 'f7'");
        EXPECT_EQ(names(next), Lines{"f7"}) << "the next request was affected";
        EXPECT_EQ(next.answerCut, AnswerCut::None);
    }
    setCatalogStatementTimeLimit(kCatalogTimeLimit);
}

// The log line of a request says why its answer was cut, with the bound that cut it.
TEST(SearchLogMessage, EndsWithTheReasonAnAnswerWasCut) {
    const struct {
        AnswerCut cut;
        std::chrono::milliseconds limit;
        const char* end;
    } cases[] = {
        {AnswerCut::None, 10s, "; ticks: 600"},
        {AnswerCut::Budget, 10s, "; ticks: 600; answer cut: budget 268435456 bytes"},
        {AnswerCut::TimeLimit, 10s, "; ticks: 600; answer cut: time limit 10 s"},
        {AnswerCut::TimeLimit, 250ms, "; ticks: 600; answer cut: time limit 0.25 s"},
        {AnswerCut::TimeLimit, 90'001ms, "; ticks: 600; answer cut: time limit 90.001 s"},
        {AnswerCut::TimeLimit, 0ms, "; ticks: 600; answer cut: time limit 0 s"},
    };
    for (const auto& c : cases) {
        setCatalogStatementTimeLimit(c.limit);
        EXPECT_EQ(searchLogMessage("name = 'a'", 0, 600, c.cut), std::string("SQL action: Query: name = 'a'; results: 0") + c.end);
    }
    setCatalogStatementTimeLimit(kCatalogTimeLimit);
}

// Prepared, a chain of 999 OR'd terms recurses about as deep as the engine lets any condition:
// the worker's thread has room for it, also under the sanitizers.
TEST_F(CatalogSearch, TheDeepestConditionRunsOnTheWorkersThread) {
    struct Worker final : platform::Thread {
        std::function<void()> work;
        void Event_Run() override { work(); }
    } worker;
    std::string chain;  // 998 sums: 1 000 deep with the comparison
    for (int i = 0; i < 998; ++i) chain += "size + ";
    const std::string db = maker.make("deep.vxo", disksTable({}), pathsTable({pathRow("a", 1, 2), pathRow("b", 1, 3)}));
    Lines found;
    worker.work = [&] { found = names(searchRequest({db}, chain + "0 = 998 * 3")); };
    worker.Run();
    worker.Join();
    EXPECT_EQ(found, Lines{"b"});
}

// A catalog's disk list counts what it holds in memory, not only its texts, and takes no longer
// than the request's time: past either bound the catalog is cut as any answer is, the catalogs
// after it are not opened, and the next request is served whole.
TEST_F(HostileCatalog, TheDiskListIsBoundedInMemoryAndInTime) {
    // 20 000 disks without a value: no text at all, some 5 MB as entries.
    const std::string empty = maker.make("empty.vxo", disksTable({}), pathsTable({pathRow("a", 7)}));
    test_support::Sql{empty}("WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k WHERE i < 20000) "
                             "INSERT INTO disks(disk) SELECT i FROM k");
    const std::string other = maker.make("other.vxo", disksTable({{1, "t", "n", "l", "p", "d"}}), pathsTable({pathRow("b")}));
    const RequestState whole = serveRequest("vaxo-browse", {empty}, kGetdisks);
    ASSERT_EQ(recordLines(whole.answer).size(), 20'000u);
    for (const size_t budget : {size_t{1} << 20, size_t{4} << 20, kAnswerBudget, whole.answer.size() - 1}) {
        SCOPED_TRACE(budget);
        setAnswerBudget(budget);
        // A search needs every disk at once; 4 MiB hold the list of disks but not the disks.
        const bool disksFit = budget == kAnswerBudget, listFits = budget > whole.answer.size();
        const RequestState search = searchRequest({empty, other}, "1=1");
        EXPECT_EQ(names(search), disksFit ? Lines({"a", "b"}) : Lines());
        EXPECT_EQ(search.answerCut, disksFit ? AnswerCut::None : AnswerCut::Budget);
        // The disks that fit, in order, as the uncut answer has them.
        const RequestState browse = serveRequest("vaxo-browse", {empty, other}, kGetdisks);
        const Lines taken = recordLines(browse.answer), all = recordLines(whole.answer);
        EXPECT_EQ(browse.answerCut, listFits ? AnswerCut::None : AnswerCut::Budget);
        EXPECT_LE(browse.answer.size(), budget);
        EXPECT_EQ(taken.size(), listFits ? all.size() + 1 : taken.size());
        if (!listFits) {
            ASSERT_LT(taken.size(), all.size());
            EXPECT_EQ(taken, Lines(all.begin(), all.begin() + static_cast<long>(taken.size())));
            EXPECT_GT(browse.answer.size() + all[taken.size()].size(), budget) << "cut before the budget was reached";
        }
        EXPECT_EQ(names(searchRequest({other}, "1=1")), Lines{"b"}) << "the next request was affected";
    }
    // Disk numbers kept as text come in the order of their text ('1', '10', '100', ..., '2'): no
    // record is made before the list is read, which therefore stays within the budget's memory.
    test_support::Sql{empty}("UPDATE disks SET disk = CAST(disk AS TEXT)");
    setAnswerBudget(size_t{1} << 20);
    const RequestState text = serveRequest("vaxo-browse", {empty}, kGetdisks);
    EXPECT_EQ(text.answerCut, AnswerCut::Budget);
    EXPECT_GT(recordLines(text.answer).size(), 0u);
    EXPECT_LE(recordLines(text.answer).size() * 200, size_t{1} << 20) << "more disks held than the budget allows";
    setAnswerBudget(kAnswerBudget);

    // Disks that take milliseconds each to read: 20 are read in time, 5 000 are not.
    const auto slow = [&](const std::string& name, int disks) {
        const std::string path = maker.make(name, {{"disk"}, {}}, pathsTable({pathRow("s")}));
        // Added after the rows, so that making them computes nothing.
        test_support::Sql{path}("DROP TABLE disks; CREATE TABLE disks(disk INTEGER PRIMARY KEY, dtype, dname, dlabel, dpath);"
                                "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k WHERE i < " +
                                std::to_string(disks) + ") INSERT INTO disks(disk) SELECT i FROM k;"
                                "ALTER TABLE disks ADD COLUMN dd AS (length(hex(hex(zeroblob(400000 + disk)))))");
        return path;
    };
    const std::string few = slow("few.vxo", 20), many = slow("many.vxo", 5000);
    setCatalogStatementTimeLimit(400ms);
    for (const std::string_view command : {"vaxo-browse", "vaxo-search"}) {
        const std::string_view condition = command == "vaxo-browse" ? kGetdisks : std::string_view("1=1");
        const RequestState sound = serveRequest(command, {few, other}, condition);
        EXPECT_EQ(names(sound).size(), command == "vaxo-browse" ? 21u : 2u) << command;
        EXPECT_EQ(sound.answerCut, AnswerCut::None);
        const auto start = std::chrono::steady_clock::now();
        const RequestState stopped = serveRequest(command, {many, other}, condition);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
        EXPECT_EQ(names(stopped), Lines{}) << command << ": a disk list the deadline stopped gives nothing";
        EXPECT_EQ(stopped.answerCut, AnswerCut::TimeLimit);
    }
    setCatalogStatementTimeLimit(kCatalogTimeLimit);
}

// Opened for writing, a catalog left by a crashed writer would be rolled back by its first
// reader; opened at all, a FIFO or a device would block or never end. A relative path names no
// catalog, wherever it would lead.
TEST_F(HostileCatalog, PathsThatAreNoCatalogAreSkippedAndTheNextIsStillRead) {
    const fs::path& in = maker.folder();
    const test_support::ScopedEnv appFolder("QUORVANTEL_APP_FOLDER", in.c_str());
    const std::string good = maker.make("good.vxo", disksTable({}), pathsTable({pathRow("good")}));
    const std::string crashed = maker.makeLeftByCrashedWriter("crashed.vxo", 3000);
    const auto crashedBytes = [&] { return readFile(crashed) + readFile(crashed + "-journal"); };
    const std::string before = crashedBytes();
    fs::create_directory(in / "folder.vxo");
    ASSERT_EQ(::mkfifo((in / "fifo.vxo").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", in / "zero.vxo");
    const std::string text = maker.makeFile("text.vxo", "not a database\n");
    const std::string truncated = maker.makeFile("half.vxo", readFile(good).substr(0, 100));
    // A schema is not trusted: a generated column may not call a function not made for schemas.
    const std::string untrusted = maker.make("json.vxo", disksTable({}), pathsTable({pathRow("json")}));
    test_support::Sql{untrusted}("ALTER TABLE paths ADD COLUMN j AS (json_quote(name))");
    for (const fs::path& path : std::initializer_list<fs::path>{
             fs::relative(good, fs::current_path()), "good.vxo", good + "/inner.vxo", in / "missing.vxo", in / "folder.vxo",
             in / "fifo.vxo", "/dev/zero", "/dev/null", in / "zero.vxo", text, truncated, crashed, untrusted}) {
        EXPECT_EQ(names(searchRequest({path.string(), good}, "1=1")), Lines{"good"}) << path;
        EXPECT_EQ(names(serveRequest("vaxo-browse", {path.string()}, kGetdisks)), Lines{}) << path;
    }
    EXPECT_EQ(readFile(text), "not a database\n");
    EXPECT_EQ(readFile(truncated), readFile(good).substr(0, 100));
    EXPECT_EQ(crashedBytes(), before);
}

TEST_F(HostileCatalog, ACatalogDeletedWhileTheRequestIsServedIsSkipped) {
    for (const std::string replacement : {"nothing", "a folder", "a text file"}) {
        std::vector<std::string> paths;
        for (const char* name : {"a", "b", "c"})
            paths.push_back(maker.make(replacement + name, disksTable({}), pathsTable({pathRow(name)})));
        // The real loop, one catalog at a time, with b taken away once a has been read.
        SearchSteps steps;
        steps.databaseLoop = [&](RequestState& state) {
            for (const auto& path : paths) {
                state.databasePaths = {path};
                runDatabaseLoop(state);
                if (path != paths[0]) continue;
                ASSERT_EQ(::unlink(paths[1].c_str()), 0);
                if (replacement == "a folder") fs::create_directory(paths[1]);
                if (replacement == "a text file") maker.makeFile(replacement + "b", "text\n");
            }
        };
        const RequestState state = serveRequest("vaxo-search", paths, "1=1", steps);
        EXPECT_EQ(names(state), (Lines{"a", "c"})) << replacement;
        EXPECT_EQ(state.resultCount, 2);
    }
}

}  // namespace
