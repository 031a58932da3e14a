// The file-name step served through the worker's own entry over a real plocate index of a folder
// the test makes: the record each kind of hit becomes, when the step runs, and that its records
// follow those of the request's catalogs.

#include "catalog_maker.h"
#include "test_support/programs.h"

#include "core/app.h"
#include "core/gfs_state.h"
#include "search/catalog_search.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <map>
#include <set>

namespace {

using namespace qvcatalog;
namespace fs = std::filesystem;
using Names = std::multiset<std::string>;
using Lines = std::vector<std::string>;

constexpr std::string_view kDisk = "asl****::/::****Apple Spotlight Search";

class SpotlightSearch : public ::testing::Test {
 protected:
    void SetUp() override {
        if (!test_support::onPath("updatedb") || !test_support::onPath("plocate")) GTEST_SKIP() << "no plocate";
        fs::create_directory(tree);
        gfs::spotlightSwitchMirror = true;
        // Far below the hits: the catalogs' limits do not apply to them.
        application.PREFmaxresultstotal = 2;
        application.PREFmaxresultsdatabase = 1;
    }
    void TearDown() override { gfs::spotlightSwitchMirror = false; }
    void index() { ASSERT_TRUE(test_support::indexForLocate(tree, maker.folder() / "index.db")); }

    app application;
    CatalogMaker maker;
    fs::path tree = fs::canonical(maker.folder()) / "tree";
    test_support::ScopedEnv zone{"TZ", "JST-9"}, locate{"QUORVANTEL_LOCATE_DB", (maker.folder() / "index.db").c_str()};
};

TEST_F(SpotlightSearch, EachKindOfHitBecomesOneRecordOfItsPropertiesAfterTheCatalogRecords) {
    const std::time_t start = std::time(nullptr);
    test_support::writeFile(tree / "a match", std::string(1000, 'x'));
    if (!test_support::setFinderInfo(tree / "a match", "BINAVaxo", 24)) GTEST_SKIP() << "no user extended attributes";
    fs::create_directory(tree / ".match dir");
    fs::create_directory_symlink(".match dir", tree / "link match dir");
    fs::create_symlink("a match", tree / "link match");
    fs::create_symlink("nowhere", tree / "dangling match");
    // Entry i was last modified 1000·i seconds after 2001-02-03 04:05:06 UTC, shown in local time
    // (nine hours east). A live link is described by what it leads to, a dangling one by itself.
    const struct {
        const char *name, *itype, *size, *dmd, *vis, *mt, *mc;
    } cases[] = {{"a match", "0", "1024", "3064050306", "1", "BINA", "Vaxo"},
                 {".match dir", "1", "0", "3064051306", "0", "", ""},
                 {"link match dir", "1", "0", "3064051306", "1", "", ""},
                 {"link match", "2", "1024", "3064050306", "1", "BINA", "Vaxo"},
                 {"dangling match", "2", "7", "3064054306", "1", "", ""}};
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(test_support::setTimes(tree / cases[i].name, 981173106 + 1000 * i));
    index();
    const std::string catalog = maker.make("one.vxo", disksTable({}), pathsTable({pathRow("row.txt")}));
    const RequestState state = serveRequest("vaxo-search", {catalog}, "1=1", {}, "match");
    const Lines lines = recordLines(state.answer);
    ASSERT_EQ(lines.size(), 6u) << state.answer;
    EXPECT_EQ(attribute(lines[0], "name"), "row.txt");
    std::map<std::string, std::string> hits;
    for (size_t i = 1; i < lines.size(); ++i) hits[attribute(lines[i], "name")] = lines[i];
    // The birth time where the file system keeps one (the test made every entry), else dmd.
    struct statx birth {};
    const bool births = ::statx(AT_FDCWD, tree.c_str(), 0, STATX_BTIME, &birth) == 0 && (birth.stx_mask & STATX_BTIME);
    for (const auto& c : cases) {
        const std::string dcr = attribute(hits[c.name], "dcr");
        const long long created = std::atoll(dcr.c_str()), epoch = 2082844800 + 9 * 3600;
        EXPECT_TRUE(births ? created >= epoch + start && created <= epoch + std::time(nullptr) : dcr == c.dmd) << dcr;
        std::string line = recordLine({tree.string(), c.name, c.itype, kDisk, c.size, dcr, c.dmd, c.vis, c.mt, c.mc});
        EXPECT_EQ(hits[c.name], line.insert(line.size() - 3, " "));  // hits end spaced: " />"
    }
    // Nothing but the records lies between the head and the tail.
    std::string bare = state.answer;
    for (const auto& [name, line] : hits) bare.erase(bare.find(line), line.size());
    EXPECT_EQ(bare, serveRequest("vaxo-search", {catalog}, "1=1", {}, "").answer);
}

TEST_F(SpotlightSearch, RunsWithTheSwitchOnForATextThatIsNotBlank) {
    for (const char* name : {"x match y", "tab\tmatch", "amatchb"}) test_support::writeFile(tree / name, "x");
    index();
    const struct {
        bool switchOn;
        const char* text;
        Names expected;
    } cases[] = {
        {true, "MATCH", {"x match y", "tab\tmatch", "amatchb"}},
        {false, "match", {}},
        {true, "", {}},
        {true, " ", {}},  // searched, it would find every name with a blank
        {true, " \t ", {}},
        {true, " match ", {"x match y"}},  // the blanks at the ends are part of the text
        {true, "\tmatch", {"tab\tmatch"}},
    };
    for (const auto& c : cases) {
        gfs::spotlightSwitchMirror = c.switchOn;
        Names found;
        for (const std::string& line : recordLines(serveRequest("vaxo-search", {}, "", {}, c.text).answer))
            if (attribute(line, "disk") == kDisk) found.insert(attribute(line, "name"));
        EXPECT_EQ(found, c.expected) << "[" << c.text << "] " << c.switchOn;
    }
    // The hits of a getdisks browse follow its disks.
    const Table disks = disksTable({{1, "t1", "n1", "l1", "/D1/", "d1"}, {2, "t2", "n2", "l2", "/D2/", "d2"}});
    const Lines found =
        names(serveRequest("vaxo-browse", {maker.make("disks.vxo", disks, pathsTable({}))}, test_support::kGetdisks, {}, "match"));
    ASSERT_EQ(found.size(), 5u);
    EXPECT_EQ(Lines(found.begin(), found.begin() + 2), (Lines{"n1", "n2"}));
    // An index that cannot be read finds nothing; the answer is whole all the same.
    const test_support::ScopedEnv missing("QUORVANTEL_LOCATE_DB", (maker.folder() / "missing.db").c_str());
    EXPECT_EQ(names(serveRequest("vaxo-search", {}, "", {}, "match")), Lines{});
}

// A file-name search ends at the request's deadline, which the catalogs before it share: the hits
// found before it are served, plocate is killed and reaped, and the answer says it was cut.
TEST_F(SpotlightSearch, EndsAtTheRequestsDeadlineWithTheHitsFoundBeforeIt) {
    for (const char* name : {"a hit", "b hit"}) test_support::writeFile(tree / name, "x");
    // A plocate that names two hits and then, told to, hangs as on a stalled file system.
    const fs::path bin = maker.folder() / "bin", pidFile = maker.folder() / "plocate.pid";
    fs::create_directory(bin);
    test_support::writeFile(bin / "plocate", "#!/bin/sh\necho $$ > '" + pidFile.string() + "'\nprintf '%s\\000' '" +
                                                 (tree / "a hit").string() + "' '" + (tree / "b hit").string() +
                                                 "'\n[ -z \"$QV_TEST_HANG\" ] || exec sleep 120\n");
    fs::permissions(bin / "plocate", fs::perms::owner_all);
    const std::string path = bin.string() + ":" + std::getenv("PATH");
    const test_support::ScopedEnv fake("PATH", path.c_str());
    setCatalogStatementTimeLimit(std::chrono::milliseconds(500));
    const struct {
        const char* hang;
        std::chrono::milliseconds catalogs;  // how long the catalog step takes before it
        Names expected;
        AnswerCut cut;
    } cases[] = {
        {"", {}, {"a hit", "b hit"}, AnswerCut::None},
        {"1", {}, {"a hit", "b hit"}, AnswerCut::TimeLimit},
        {"", std::chrono::milliseconds(700), {}, AnswerCut::TimeLimit},  // no time left: not started
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.hang) + " " + std::to_string(c.catalogs.count()));
        fs::remove(pidFile);
        const test_support::ScopedEnv hang("QV_TEST_HANG", c.hang);
        SearchSteps steps;
        steps.databaseLoop = [&](RequestState&) { std::this_thread::sleep_for(c.catalogs); };
        const auto start = std::chrono::steady_clock::now();
        const RequestState state = serveRequest("vaxo-search", {"/none.vxo"}, "1=1", steps, "hit");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        const Lines found = names(state);
        EXPECT_EQ(Names(found.begin(), found.end()), c.expected);
        EXPECT_EQ(state.answerCut, c.cut);
        EXPECT_EQ(fs::exists(pidFile), c.catalogs.count() == 0);
        if (!fs::exists(pidFile)) continue;
        // Gone, not a zombie: kill(pid, 0) still finds a child that was never reaped.
        const pid_t pid = std::atoi(readFile(pidFile).c_str());
        EXPECT_TRUE(pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) << pid;
    }
    setCatalogStatementTimeLimit(kCatalogTimeLimit);
}

}  // namespace
