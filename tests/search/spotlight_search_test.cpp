// The Spotlight step of a search request, served through the worker's own entry over a real plocate
// index of a folder the test makes: when the step runs, the record each hit becomes, that nothing
// caps the hits, and where those records go in an answer that also holds catalog records.

#include "test_support/programs.h"
#include "catalog_maker.h"

#include "core/app.h"
#include "core/gfs_state.h"
#include "platform/folder_item.h"
#include "search/request_fields.h"
#include "search/searchmaster.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

using namespace qvcatalog;
namespace fs = std::filesystem;

constexpr std::string_view kDisk = "asl****::/::****Apple Spotlight Search";
constexpr const char* kGetdisks = "SELECT * FROM disks ORDER BY disk ASC;''''';getdisks";

using test_support::onPath;
using test_support::runQuietly;

void writeBytes(const fs::path& file, size_t count) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << std::string(count, 'x');
}

void setModified(const fs::path& path, int64_t unixSeconds) {
    const timeval times[2] = {{unixSeconds, 0}, {unixSeconds, 0}};
    ASSERT_EQ(::lutimes(path.c_str(), times), 0) << path;
}

// The birth time where the file system keeps one, else the modification time, 1904-based.
std::string creation(const fs::path& path, bool follow) {
    struct statx entry {};
    if (::statx(AT_FDCWD, path.c_str(), follow ? 0 : AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &entry) != 0)
        return "?";
    const int64_t unix = (entry.stx_mask & STATX_BTIME) ? entry.stx_btime.tv_sec : entry.stx_mtime.tv_sec;
    return std::to_string(platform::totalSecondsFromUnix(unix));
}

std::string request(std::string_view command, const std::vector<std::string>& paths, std::string_view condition,
                    std::string_view spotlightText) {
    std::string joined;
    for (const std::string& path : paths) joined.append(joined.empty() ? "" : "::").append(path);
    const std::string_view fields[] = {"", command, "d", "label", "", joined, condition, "view", spotlightText};
    std::string text(fields[0]);
    for (size_t i = 1; i < std::size(fields); ++i) text.append(kFieldSeparator).append(fields[i]);
    return text;
}

bool isSpotlightRecord(const std::string& line) { return attribute(line, "disk") == kDisk; }

std::set<std::string> spotlightNames(const RequestState& state) {
    std::set<std::string> names;
    for (const std::string& line : recordLines(state.answer))
        if (isSpotlightRecord(line)) {
            EXPECT_TRUE(names.insert(attribute(line, "name")).second) << line;
        }
    return names;
}

class SpotlightSearch : public ::testing::Test {
 protected:
    void SetUp() override {
        if (!onPath("updatedb") || !onPath("plocate")) GTEST_SKIP() << "updatedb or plocate is not installed";
        tree = fs::canonical(maker.folder()) / "tree";
        fs::create_directory(tree);
        gfs::spotlightSwitchMirror = true;
    }
    void TearDown() override {
        gfs::spotlightSwitchMirror = savedSwitch_;
        if (savedDatabase_) ::setenv("QUORVANTEL_LOCATE_DB", savedDatabase_->c_str(), 1);
        else ::unsetenv("QUORVANTEL_LOCATE_DB");
    }

    // Indexes the tree as it is now and points the search at that index.
    void index() {
        const fs::path file = fs::canonical(maker.folder()) / "index.db";
        ASSERT_EQ(runQuietly({"updatedb", "-U", tree.string(), "-o", file.string(), "-l", "no"}), 0);
        ::setenv("QUORVANTEL_LOCATE_DB", file.c_str(), 1);
    }

    RequestState serve(std::string_view spotlightText, std::string_view command = "vaxo-search",
                       const std::vector<std::string>& paths = {}, std::string_view condition = "") {
        std::exception_ptr failure;
        const std::string text = request(command, paths, condition, spotlightText);
        RequestState state = serveSearchRequest(text, SearchSteps{}, failure);
        EXPECT_FALSE(failure) << "serving failed for the text [" << spotlightText << "]";
        EXPECT_TRUE(isComplete(state.answer)) << state.answer.substr(0, 2000);
        return state;
    }

    app application;
    CatalogMaker maker;
    fs::path tree;

 private:
    const bool savedSwitch_ = gfs::spotlightSwitchMirror;
    const char* const oldDatabase_ = std::getenv("QUORVANTEL_LOCATE_DB");
    const std::optional<std::string> savedDatabase_ =
        oldDatabase_ ? std::optional<std::string>(oldDatabase_) : std::nullopt;
};

TEST_F(SpotlightSearch, EachHitBecomesOneRecordOfItsProperties) {
    const fs::path plain = tree / "plain match.txt";
    writeBytes(plain, 1000);
    const std::string finderInfo = std::string("BINAVaxo") + std::string(24, '\0');
    if (::setxattr(plain.c_str(), "user.com.apple.FinderInfo", finderInfo.data(), finderInfo.size(), 0) ||
        ::setxattr(plain.c_str(), "user.com.apple.ResourceFork", "012345678901234567890123", 24, 0))
        GTEST_SKIP() << "user extended attributes are not supported here";
    fs::create_directory(tree / "match folder");
    writeBytes(tree / ".match hidden", 7);
    writeBytes(tree / "say \"match\" & <go>", 3);
    fs::create_directory_symlink("match folder", tree / "link to match folder");
    fs::create_symlink("plain match.txt", tree / "link to match file");
    fs::create_symlink("nowhere", tree / "dangling match");
    constexpr int64_t kTimes[] = {981173106, 1009843200, 1215000000, 1300000000, 1400000000, 1500000000, 1600000000};
    const char* const entries[] = {"plain match.txt",    "match folder",         ".match hidden",
                                   "say \"match\" & <go>", "link to match folder", "link to match file",
                                   "dangling match"};
    for (size_t i = 0; i < std::size(entries); ++i) setModified(tree / entries[i], kTimes[i]);
    index();

    // A live link is described by what it leads to, a dangling one by itself.
    const struct {
        const char *name, *itype, *size;
        size_t describedBy;  // the entry whose dates the record carries
        const char *vis, *mt, *mc;
    } cases[] = {
        {"plain match.txt", "0", "1024", 0, "1", "BINA", "Vaxo"},
        {"match folder", "1", "0", 1, "1", "", ""},
        {".match hidden", "0", "7", 2, "0", "", ""},
        {"say \"match\" & <go>", "0", "3", 3, "1", "", ""},
        {"link to match folder", "1", "0", 1, "1", "", ""},
        {"link to match file", "2", "1024", 0, "1", "BINA", "Vaxo"},
        {"dangling match", "2", "7", 6, "1", "", ""},
    };
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        const fs::path described = tree / entries[c.describedBy];
        const std::string dcr = creation(described, c.describedBy != 6);
        const std::string dmd = std::to_string(platform::totalSecondsFromUnix(kTimes[c.describedBy]));
        expected.push_back("\t\t<record ppath=\"" + tree.string() + "\" name=\"" + c.name + "\" itype=\"" + c.itype +
                           "\" disk=\"" + std::string(kDisk) + "\" size=\"" + c.size + "\" dcr=\"" + dcr +
                           "\" dmd=\"" + dmd + "\" vis=\"" + c.vis + "\" mt=\"" + c.mt + "\" mc=\"" + c.mc +
                           "\" />\n");
    }
    const RequestState state = serve("match");
    std::vector<std::string> lines = recordLines(state.answer);
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
    // Nothing but the records lies between the head and the tail.
    std::string bare = state.answer;
    for (const std::string& line : lines) bare.erase(bare.find(line), line.size());
    EXPECT_EQ(bare, serve("").answer);
}

TEST_F(SpotlightSearch, RunsOnlyWithTheSwitchOnAndATextThatIsNotBlank) {
    for (const char* name : {"a match.txt", "x match y", "amatchb", "tab\tmatch"}) writeBytes(tree / name, 1);
    index();
    const struct {
        bool switchOn;
        const char* text;
        std::set<std::string> expected;
    } cases[] = {
        {true, "match", {"a match.txt", "x match y", "amatchb", "tab\tmatch"}},
        {false, "match", {}},
        {true, "", {}},
        {true, " ", {}},  // searched, it would find every name with a blank
        {true, " \t ", {}},
        {true, "\t", {}},
        // A text is searched with the blanks at its ends.
        {true, " match ", {"x match y"}},
        {true, "match ", {"x match y"}},
        {true, "\tmatch", {"tab\tmatch"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("switch ") + (c.switchOn ? "on" : "off") + ", text [" + c.text + "]");
        gfs::spotlightSwitchMirror = c.switchOn;
        const RequestState state = serve(c.text);
        EXPECT_EQ(spotlightNames(state), c.expected);
        EXPECT_EQ(recordLines(state.answer).size(), c.expected.size());
    }
}

TEST_F(SpotlightSearch, NoLimitCapsTheHits) {
    // The catalogs' limits are far below the hits: they must not apply here.
    application.PREFmaxresultstotal = 10;
    application.PREFmaxresultsdatabase = 5;
    std::set<std::string> expected;
    for (int i = 0; i < 3000; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "hit %04d match", i);
        writeBytes(tree / name, 0);
        expected.insert(name);
    }
    writeBytes(tree / "no hit", 0);
    index();
    const RequestState state = serve("MATCH");
    EXPECT_EQ(spotlightNames(state), expected);
    EXPECT_EQ(state.answer.find("OVER LIMIT"), std::string::npos);
}

TEST_F(SpotlightSearch, RecordsFollowTheCatalogRecordsOfTheSameRequest) {
    for (const char* name : {"one match", "two match"}) writeBytes(tree / name, 1);
    index();
    const Table disks = disksTable({{1, "dt1", "dn1", "dl1", "/D1/", "dd1"}, {2, "dt2", "dn2", "dl2", "/D2/", "dd2"}});
    const PathRow row{"/D1/", "row.txt", "0", int64_t{1}, int64_t{5}, int64_t{6}, int64_t{7}, "1", "T", "C"};
    const std::string catalog = maker.make("two-disks.vxo", disks, pathsTable({row}));
    const std::string text = maker.makeFile("text.vxo", "no database at all\n");
    fs::create_directory(maker.folder() / "folder.vxo");
    const std::vector<std::string> unusable = {(maker.folder() / "missing.vxo").string(), text,
                                               (maker.folder() / "folder.vxo").string(), "relative.vxo"};
    const struct {
        const char* label;
        const char* command;
        std::vector<std::string> paths;
        const char* condition;
        std::vector<std::string> leadingNames;  // the catalog records, before any Spotlight record
    } cases[] = {
        {"getdisks browse", "vaxo-browse", {catalog}, kGetdisks, {"dn1", "dn2"}},
        {"search", "vaxo-search", {catalog}, "name LIKE 'row%'", {"row.txt"}},
        {"only unusable catalogs", "vaxo-search", unusable, "1=1", {}},
        {"unusable catalogs, then a good one", "vaxo-browse", {unusable[0], unusable[1], catalog},
         kGetdisks, {"dn1", "dn2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const RequestState state = serve("match", c.command, c.paths, c.condition);
        const std::vector<std::string> lines = recordLines(state.answer);
        ASSERT_EQ(lines.size(), c.leadingNames.size() + 2) << state.answer;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (i < c.leadingNames.size()) {
                EXPECT_FALSE(isSpotlightRecord(lines[i])) << lines[i];
                EXPECT_EQ(attribute(lines[i], "name"), c.leadingNames[i]);
            } else {
                EXPECT_TRUE(isSpotlightRecord(lines[i])) << lines[i];
            }
        }
        EXPECT_EQ(spotlightNames(state), (std::set<std::string>{"one match", "two match"}));
    }
}

TEST_F(SpotlightSearch, AnswerIsCompleteWhenTheIndexIsUnusable) {
    writeBytes(tree / "a match", 1);
    index();
    ::setenv("QUORVANTEL_LOCATE_DB", (maker.folder() / "missing.db").c_str(), 1);
    const RequestState state = serve("match");
    EXPECT_TRUE(recordLines(state.answer).empty());
}

}  // namespace
