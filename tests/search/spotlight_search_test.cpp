// The Spotlight step served through the worker's own entry over a real plocate index of a folder
// the test makes: when it runs, the record each hit becomes, and where those records go in an
// answer that also holds catalog records.

#include "catalog_maker.h"
#include "test_support/programs.h"

#include "core/app.h"
#include "core/gfs_state.h"
#include "platform/folder_item.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>

#include <fstream>
#include <set>

namespace {

using namespace qvcatalog;
namespace fs = std::filesystem;
using Names = std::multiset<std::string>;
using Lines = std::vector<std::string>;

constexpr std::string_view kDisk = "asl****::/::****Apple Spotlight Search";
constexpr int64_t kTime = 981173106;

void writeFile(const fs::path& file, size_t size) { std::ofstream(file, std::ios::binary) << std::string(size, 'x'); }

std::string macSeconds(int64_t unix) { return std::to_string(platform::totalSecondsFromUnix(unix)); }

// The birth time where the file system keeps one, else the modification time.
std::string creation(const fs::path& path, bool follow) {
    struct statx s {};
    ::statx(AT_FDCWD, path.c_str(), follow ? 0 : AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &s);
    return macSeconds((s.stx_mask & STATX_BTIME) ? s.stx_btime.tv_sec : s.stx_mtime.tv_sec);
}

Names spotlightNames(const RequestState& state) {
    Names found;
    for (const std::string& line : recordLines(state.answer))
        if (attribute(line, "disk") == kDisk) found.insert(attribute(line, "name"));
    return found;
}

class SpotlightSearch : public ::testing::Test {
 protected:
    void SetUp() override {
        if (!test_support::onPath("updatedb") || !test_support::onPath("plocate")) GTEST_SKIP() << "no plocate";
        tree = fs::canonical(maker.folder()) / "tree";
        fs::create_directory(tree);
        gfs::spotlightSwitchMirror = true;
        // Far below the hits: the catalogs' limits do not apply to them.
        application.PREFmaxresultstotal = 2;
        application.PREFmaxresultsdatabase = 1;
    }
    void TearDown() override {
        gfs::spotlightSwitchMirror = false;
        ::unsetenv("QUORVANTEL_LOCATE_DB");
    }
    // Indexes the tree as it is now and points the search at that index.
    void index() {
        const fs::path file = tree.parent_path() / "index.db";
        ASSERT_EQ(test_support::runQuietly({"updatedb", "-U", tree.string(), "-o", file.string(), "-l", "no"}), 0);
        ::setenv("QUORVANTEL_LOCATE_DB", file.c_str(), 1);
    }

    app application;
    CatalogMaker maker;
    fs::path tree;
};

TEST_F(SpotlightSearch, EachHitBecomesOneRecordOfItsProperties) {
    const fs::path plain = tree / "a match";
    writeFile(plain, 1000);
    const std::string info = std::string("BINAVaxo") + std::string(24, '\0');
    if (::setxattr(plain.c_str(), "user.com.apple.FinderInfo", info.data(), info.size(), 0) ||
        ::setxattr(plain.c_str(), "user.com.apple.ResourceFork", info.data(), 24, 0))
        GTEST_SKIP() << "user extended attributes are not supported here";
    fs::create_directory(tree / "match dir");
    writeFile(tree / ".match", 7);
    fs::create_directory_symlink("match dir", tree / "link match dir");
    fs::create_symlink("a match", tree / "link match");
    fs::create_symlink("nowhere", tree / "dangling match");
    // A live link is described by what it leads to, a dangling one by itself.
    const struct {
        const char *name, *itype, *size;
        int describedBy;  // the entry whose dates the record carries
        const char *vis, *mt, *mc;
    } cases[] = {{"a match", "0", "1024", 0, "1", "BINA", "Vaxo"},    {"match dir", "1", "0", 1, "1", "", ""},
                 {".match", "0", "7", 2, "0", "", ""},                 {"link match dir", "1", "0", 1, "1", "", ""},
                 {"link match", "2", "1024", 0, "1", "BINA", "Vaxo"}, {"dangling match", "2", "7", 5, "1", "", ""}};
    for (int i = 0; i < 6; ++i) {
        const timeval times[2] = {{kTime + 1000 * i, 0}, {kTime + 1000 * i, 0}};
        ASSERT_EQ(::lutimes((tree / cases[i].name).c_str(), times), 0);
    }
    index();
    Names expected;
    for (const auto& c : cases) {
        std::string line = recordLine({tree.string(), c.name, c.itype, kDisk, c.size,
                                       creation(tree / cases[c.describedBy].name, c.describedBy != 5),
                                       macSeconds(kTime + 1000 * c.describedBy), c.vis, c.mt, c.mc});
        expected.insert(line.insert(line.size() - 3, " "));  // hits end spaced: " />"
    }
    const RequestState state = serveRequest("vaxo-search", {}, "", {}, "match");
    const Lines lines = recordLines(state.answer);
    EXPECT_EQ(Names(lines.begin(), lines.end()), expected);
    // Nothing but the records lies between the head and the tail.
    std::string bare = state.answer;
    for (const std::string& line : lines) bare.erase(bare.find(line), line.size());
    EXPECT_EQ(bare, serveRequest("vaxo-search", {}, "", {}, "").answer);
}

TEST_F(SpotlightSearch, RunsWithTheSwitchOnForATextThatIsNotBlankTakenLiterally) {
    for (const char* name : {"x match y", "tab\tmatch", "amatchb", "star*", "what?", "br[a]", "quo\"te"})
        writeFile(tree / name, 1);
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
        {true, "*", {"star*"}},
        {true, "?", {"what?"}},
        {true, "[a]", {"br[a]"}},
        {true, "\"", {"quo\"te"}},
    };
    for (const auto& c : cases) {
        gfs::spotlightSwitchMirror = c.switchOn;
        const RequestState state = serveRequest("vaxo-search", {}, "", {}, c.text);
        EXPECT_EQ(spotlightNames(state), c.expected) << "[" << c.text << "] " << c.switchOn;
    }
    // An index that cannot be read finds nothing; the answer is whole all the same.
    ::setenv("QUORVANTEL_LOCATE_DB", (maker.folder() / "missing.db").c_str(), 1);
    EXPECT_EQ(names(serveRequest("vaxo-search", {}, "", {}, "match")), Lines{});
}

TEST_F(SpotlightSearch, RecordsFollowTheCatalogRecordsOfTheSameRequest) {
    for (const char* name : {"one match", "two match"}) writeFile(tree / name, 1);
    index();
    const Table disks = disksTable({{1, "t1", "n1", "l1", "/D1/", "d1"}, {2, "t2", "n2", "l2", "/D2/", "d2"}});
    const std::string catalog = maker.make("two-disks.vxo", disks, pathsTable({pathRow("row.txt")}));
    for (const auto& [command, condition, leading] :
         {std::tuple<const char*, std::string_view, Lines>{"vaxo-browse", kGetdisksMarker, {"n1", "n2"}},
          {"vaxo-search", "name LIKE 'row%'", {"row.txt"}}}) {
        const RequestState state = serveRequest(command, {catalog}, condition, {}, "match");
        const Lines found = names(state);
        ASSERT_EQ(found.size(), leading.size() + 2) << state.answer;
        EXPECT_EQ(Lines(found.begin(), found.begin() + static_cast<long>(leading.size())), leading);
        EXPECT_EQ(spotlightNames(state), (Names{"one match", "two match"}));
    }
}

}  // namespace
