// Conditions written to escape the catalog statement, statements that would never end, and catalog
// files that vanish or are damaged: each request still gets its whole answer, the file stays as
// it was, and the request after it is served as if nothing had happened.

#include "catalog_maker.h"

#include "core/app.h"
#include "search/catalog_search.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <set>

namespace {

using namespace qvcatalog;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

using Names = std::vector<std::string>;

Names names(const RequestState& state) {
    Names result;
    for (const auto& line : recordLines(state.answer)) result.push_back(attribute(line, "name"));
    return result;
}

std::set<std::string> listing(const fs::path& folder) {
    std::set<std::string> entries;
    for (const auto& entry : fs::directory_iterator(folder)) entries.insert(entry.path().filename().string());
    return entries;
}

// The short bound is put back to the usual ten seconds also when an assertion fails.
class ShortStatementTimeLimit {
 public:
    ShortStatementTimeLimit() { setCatalogStatementTimeLimit(200ms); }
    ~ShortStatementTimeLimit() { setCatalogStatementTimeLimit(10'000ms); }
};

PathRow row(const std::string& name, int64_t size = 1) {
    return {"/p/", name, "0", int64_t{3}, size, int64_t{1}, int64_t{2}, "1", "T", "C"};
}

class HostileCatalog : public ::testing::Test {
 protected:
    // Each row is named after what a condition would reach if it escaped the paths table.
    std::string target() {
        return maker.make("target.vxo", disksTable({{3, "dt", "dn3", "dl", "dp", "dd"}}),
                          pathsTable({row("paths"), row("ppath"), row("dn3"), row("plain")}));
    }

    // Serves the condition on the catalog, then shows that the file and its folder are as they
    // were and that an ordinary request still finds everything.
    void expectHarmless(const std::string& db, const std::string& condition, const Names& expected,
                        const Names& everything) {
        const std::string bytes = readBytes(db);
        const auto entries = listing(maker.folder());
        EXPECT_EQ(names(searchRequest({db}, condition)), expected);
        EXPECT_EQ(readBytes(db), bytes) << "the catalog file changed";
        EXPECT_EQ(listing(maker.folder()), entries) << "files appeared next to the catalog";
        EXPECT_EQ(names(searchRequest({db}, "1=1")), everything) << "the next request was affected";
    }

    app application;
    CatalogMaker maker;
};

TEST_F(HostileCatalog, ConditionsThatReachBeyondTheirStatementAreRejected) {
    const std::string db = target();
    const std::string attached = (maker.folder() / "attached.db").string();
    // Patterns, nesting and unions that would match every row were they not refused.
    const std::string hugeLike = "name LIKE '" + std::string(2'000'000, '%') + "'";
    const std::string longLike = "name LIKE '" + std::string(3'000, '%') + "'";
    std::string deep = "name = 'x'";
    for (int i = 0; i < 300; ++i) deep += " OR name = 'x'";
    deep += " OR 1=1";
    std::string compound = "name IN (SELECT 'paths'";
    for (int i = 0; i < 20; ++i) compound += " UNION SELECT 'x" + std::to_string(i) + "'";
    compound += ")";
    const struct {
        const char* what;
        std::string condition;
        Names expected;
    } cases[] = {
        {"second statement cut at the semicolon", "1=1; DROP TABLE paths", {"paths", "ppath", "dn3", "plain"}},
        {"attach after a closing parenthesis", "1=1) ; ATTACH DATABASE '" + attached + "' AS x", {}},
        {"extension loading", "1=1 AND (SELECT load_extension('x'))", {}},
        {"schema table", "name IN (SELECT name FROM sqlite_master)", {}},
        {"another table", "name IN (SELECT dname FROM disks)", {}},
        {"another table by union", "0 UNION ALL SELECT dname, dname, dname, disk, 1, 1, 1, 1, 1, 1 FROM disks", {}},
        {"pragma function", "1=1 AND (SELECT * FROM pragma_table_info('paths'))", {}},
        {"pragma function by column", "name IN (SELECT name FROM pragma_table_info('paths'))", {}},
        {"engine introspection", "sqlite_version() <> ''", {}},
        {"huge zeroblob", "length(zeroblob(2000000000))>0", {}},
        {"large randomblob", "length(randomblob(5000000))>0", {}},
        {"text grown past the length limit",
         "length(replace(replace(replace(replace(replace(replace(replace(name, 'a', 'aaaaaaaaaa'), 'a', 'aaaaaaaaaa'),"
         " 'a', 'aaaaaaaaaa'), 'a', 'aaaaaaaaaa'), 'a', 'aaaaaaaaaa'), 'a', 'aaaaaaaaaa'), 'a', 'aaaaaaaaaa')) > 0",
         {}},
        {"2 MB LIKE pattern", hugeLike, {}},
        {"LIKE pattern past its limit", longLike, {}},
        {"statement text past its limit", "name <> '" + std::string(1'500'000, 'x') + "'", {}},
        {"nesting past the depth limit", deep, {}},
        {"compound select past its limit", compound, {}},
        {"NUL byte before more text", std::string("1=1\0 OR 1", 9), {}},
        // The first row matches, the second makes the statement fail: nothing of it may count.
        {"statement failing after a match",
         "CASE WHEN name = 'paths' THEN 1 ELSE length(replace(replace(replace(replace(replace(replace(replace("
         "name || 'a', 'a', 'aaaaaaaaaa'), 'a', 'aaaaaaaaaa'), 'a', 'aaaaaaaaaa'), 'a', 'aaaaaaaaaa'), 'a', "
         "'aaaaaaaaaa'), 'a', 'aaaaaaaaaa'), 'a', 'aaaaaaaaaa')) > 0 END",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expectHarmless(db, c.condition, c.expected, {"paths", "ppath", "dn3", "plain"});
    }
    EXPECT_FALSE(fs::exists(attached));
}

TEST_F(HostileCatalog, SoundConditionsStillWorkUnderTheGuard) {
    const std::string db = maker.make("sound.vxo", disksTable({}),
                                      pathsTable({row("Alpha.txt", 10), row("beta.doc", 200), row("Gamma.TXT", 3000)}));
    const struct {
        const char* condition;
        Names expected;
    } cases[] = {
        {"name LIKE '%.txt'", {"Alpha.txt", "Gamma.TXT"}},
        {"name GLOB '*.txt'", {"Alpha.txt"}},
        {"lower(name) = 'beta.doc'", {"beta.doc"}},
        {"length(name) = 8", {"beta.doc"}},
        {"substr(name, 1, 1) = 'G'", {"Gamma.TXT"}},
        {"name IN ('beta.doc', 'nope', 'Alpha.txt')", {"Alpha.txt", "beta.doc"}},
        {"size BETWEEN 100 AND 5000", {"beta.doc", "Gamma.TXT"}},
        {"size * 2 + 1 = 21", {"Alpha.txt"}},
        {"upper(name) GLOB '*TXT' AND NOT name LIKE 'a%'", {"Gamma.TXT"}},
        {"coalesce(NULL, mt) = 'T' AND typeof(size) = 'integer' AND abs(-size) > 100", {"beta.doc", "Gamma.TXT"}},
        {"name IN (SELECT name FROM paths WHERE size > 100)", {"beta.doc", "Gamma.TXT"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.condition);
        expectHarmless(db, c.condition, c.expected, {"Alpha.txt", "beta.doc", "Gamma.TXT"});
    }
}

TEST_F(HostileCatalog, StatementsThatWouldNeverEndAreStoppedAndRejected) {
    const std::string db = maker.make("slow.vxo", disksTable({}), manyPaths(3000));
    const ShortStatementTimeLimit bound;
    for (const char* condition : {
             "disk IN (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) SELECT x FROM c)",
             "(SELECT count(*) FROM paths a, paths b, paths c, paths d) > 0",
             "name IN (SELECT a.name FROM paths a, paths b, paths c WHERE a.size + b.size + c.size = -1)",
         }) {
        SCOPED_TRACE(condition);
        const RequestState state = searchRequest({db, db}, condition);
        EXPECT_TRUE(recordLines(state.answer).empty());
        EXPECT_EQ(state.resultCount, 0);
        EXPECT_EQ(names(searchRequest({db}, "name = 'f7'")), Names{"f7"}) << "the next request was affected";
    }
}

// The bound is looked at between engine steps only, so a function that can run for seconds in
// one call must not be callable at all.
TEST_F(HostileCatalog, AStatementSpendingItsTimeInsideFunctionCallsIsStillStopped) {
    const std::string db = maker.make("calls.vxo", disksTable({}), manyPaths(3000));
    const ShortStatementTimeLimit bound;
    const RequestState state = searchRequest({db}, "length(printf('%.*c', 2000000000, name)) > 0");
    EXPECT_TRUE(recordLines(state.answer).empty());
    EXPECT_EQ(names(searchRequest({db}, "name = 'f7'")), Names{"f7"});
}

// A comment swallows the LIMIT that follows the condition, and a union makes the count fail so
// that the running total never grows: either way one catalog gives more than its share.
TEST_F(HostileCatalog, ConditionsCannotLiftTheResultLimits) {
    const std::string db = maker.make("many.vxo", disksTable({}), manyPaths(1999));
    for (const char* condition : {"1=1 --", "1=1 /*", "0 UNION ALL SELECT * FROM paths", "1=1 LIMIT 5000"}) {
        SCOPED_TRACE(condition);
        const RequestState state = searchRequest({db, db, db}, condition);
        EXPECT_LE(state.resultCount, 500);
        EXPECT_LE(recordLines(state.answer).size(), 500u + 2u);
    }
}

// A union can put any number ahead of the real count; the running total takes it without overflow.
TEST_F(HostileCatalog, AnAbsurdCountIsTakenWithoutOverflow) {
    const std::string db = maker.make("count.vxo", disksTable({}), manyPaths(10));
    for (const char* condition : {"1 UNION SELECT-1e30", "1 UNION SELECT 1e30 ORDER BY 1 DESC", "1 UNION SELECT 'x'"}) {
        SCOPED_TRACE(condition);
        const RequestState state = searchRequest({db, db}, condition);
        EXPECT_LE(recordLines(state.answer).size(), 2u);
        EXPECT_EQ(names(searchRequest({db}, "name = 'f7'")), Names{"f7"});
    }
}

TEST_F(HostileCatalog, ACatalogDeletedWhileTheRequestIsServedIsSkipped) {
    for (const std::string& replacement : std::vector<std::string>{"nothing", "a folder", "a text file"}) {
        SCOPED_TRACE(replacement);
        const std::string a = maker.make(replacement + " a.vxo", disksTable({}), pathsTable({row("from a")}));
        const std::string b = maker.make(replacement + " b.vxo", disksTable({}), pathsTable({row("from b")}));
        const std::string c = maker.make(replacement + " c.vxo", disksTable({}), pathsTable({row("from c")}));
        // The real loop, one catalog at a time, with b taken away once a has been read.
        SearchSteps steps;
        steps.databaseLoop = [&](RequestState& state) {
            const auto all = state.databasePaths;
            for (const auto& path : all) {
                state.databasePaths = {path};
                runDatabaseLoop(state);
                if (path != a) continue;
                ASSERT_EQ(::unlink(b.c_str()), 0);
                if (replacement == "a folder") fs::create_directory(b);
                if (replacement == "a text file") maker.makeFile(replacement + " b.vxo", "text\n");
            }
            state.databasePaths = all;
        };
        const RequestState state = serveRequest("vaxo-search", {a, b, c}, "1=1", steps);
        EXPECT_EQ(names(state), (Names{"from a", "from c"}));
        EXPECT_EQ(state.resultCount, 2);
    }
}

TEST_F(HostileCatalog, DamagedCatalogsGiveACompleteAnswerAndSpoilNothingAfter) {
    const std::string sound = maker.make("sound.vxo", disksTable({}), manyPaths(3000));
    const std::string good = maker.make("good.vxo", disksTable({}), pathsTable({row("good")}));
    const std::string original = readBytes(sound);
    ASSERT_GT(original.size(), 16'384u);
    std::mt19937 random(20261206);
    const auto scribble = [&random](std::string bytes, size_t from, size_t to) {
        for (size_t i = from; i < to && i < bytes.size(); ++i) bytes[i] = static_cast<char>(random());
        return bytes;
    };
    std::string badPageSize = original;
    badPageSize[16] = 0x00;
    badPageSize[17] = 0x03;
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"first 100 bytes", original.substr(0, 100)},
        {"first half", original.substr(0, original.size() / 2)},
        {"random middle pages", scribble(original, original.size() / 3, 2 * original.size() / 3)},
        {"random schema page", scribble(original, 100, 4096)},
        {"random header", scribble(original, 0, 100)},
        {"impossible page size", badPageSize},
    };
    int made = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string damaged = maker.makeFile("damaged" + std::to_string(++made) + ".vxo", c.bytes);
        for (const auto& condition : {"1=1", "name LIKE 'f1%' OR name = 'good'", "name = 'f2999' OR name = 'good'"}) {
            const Names found = names(searchRequest({damaged, good}, condition));
            ASSERT_FALSE(found.empty());
            EXPECT_EQ(found.back(), "good") << condition;
        }
        EXPECT_EQ(names(serveRequest("vaxo-browse", {damaged, good}, kGetdisksMarker)), Names{});
        EXPECT_EQ(readBytes(damaged), c.bytes) << "the damaged file changed";
        EXPECT_EQ(names(searchRequest({good}, "1=1")), Names{"good"});
    }
}

TEST_F(HostileCatalog, ACatalogLeftByACrashedWriterIsNotRolledBack) {
    const std::string crashed = maker.makeLeftByCrashedWriter("crashed.vxo", 3000);
    const std::string good = maker.make("good.vxo", disksTable({}), pathsTable({row("good")}));
    const std::string bytes = readBytes(crashed);
    const std::string journal = readBytes(crashed + "-journal");
    const Names found = names(searchRequest({crashed, good}, "name = 'f1' OR name = 'good'"));
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found.back(), "good");
    EXPECT_EQ(readBytes(crashed), bytes) << "a search wrote to the catalog";
    EXPECT_EQ(readBytes(crashed + "-journal"), journal) << "a search rolled the journal back";
}

}  // namespace
