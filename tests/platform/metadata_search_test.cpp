// The file-name search on real plocate indexes built over folders of the test's own: which names
// are hits, how a text with glob characters is matched, and what each hit's snapshot says. The
// server's Spotlight records are made from these snapshots, so a wrong kind, length, type or date
// here reaches the client as a wrong record.

#include "test_support/programs.h"
#include "platform/folder_item.h"
#include "platform/metadata_search.h"

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
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using platform::FileSnapshot;
using platform::FolderItem;

using test_support::onPath;
using test_support::runQuietly;

// Sets or clears one environment variable and puts back the old value afterwards.
class ScopedEnv {
 public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
        ::tzset();
    }
    ~ScopedEnv() {
        saved_ ? ::setenv(name_.c_str(), saved_->c_str(), 1) : ::unsetenv(name_.c_str());
        ::tzset();
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
    std::string name_;
    std::optional<std::string> saved_;
};

void writeBytes(const fs::path& file, size_t count) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << std::string(count, 'x');
}

// Sets the modification time of the entry itself, also of a symbolic link.
void setModified(const fs::path& path, int64_t unixSeconds) {
    const timeval times[2] = {{unixSeconds, 0}, {unixSeconds, 0}};
    ASSERT_EQ(::lutimes(path.c_str(), times), 0) << path;
}

// What the file system can tell of the entry's birth, in the 1904-based form: the birth time
// where it keeps one, else the modification time.
int64_t creationSeconds(const fs::path& path) {
    struct statx entry {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &entry) != 0) return -1;
    const int64_t unix = (entry.stx_mask & STATX_BTIME) ? entry.stx_btime.tv_sec : entry.stx_mtime.tv_sec;
    return platform::totalSecondsFromUnix(unix);
}

bool setAttribute(const fs::path& path, const char* name, const std::string& value) {
    return ::setxattr(path.c_str(), name, value.data(), value.size(), 0) == 0;
}

std::set<std::string> keys(const std::map<std::string, FileSnapshot>& hits) {
    std::set<std::string> names;
    for (const auto& [name, snapshot] : hits) names.insert(name);
    return names;
}

class MetadataSearch : public ::testing::Test {
 protected:
    void SetUp() override {
        if (!onPath("updatedb") || !onPath("plocate")) GTEST_SKIP() << "updatedb or plocate is not installed";
        std::string pattern = (fs::temp_directory_path() / "qv-metadata-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = fs::canonical(pattern);
        tree = root / "tree";
        fs::create_directory(tree);
    }
    void TearDown() override {
        database_.reset();
        std::error_code ignored;
        if (!root.empty()) fs::remove_all(root, ignored);
    }

    // Indexes the tree as it is now and points the search at that index.
    void index() {
        const fs::path file = root / "index.db";
        ASSERT_EQ(runQuietly({"updatedb", "-U", tree.string(), "-o", file.string(), "-l", "no"}), 0);
        database_.emplace("QUORVANTEL_LOCATE_DB", file.c_str());
    }

    // The hits by name. Every hit lies directly in the tree and comes once.
    std::map<std::string, FileSnapshot> find(std::string_view text) {
        std::map<std::string, FileSnapshot> hits;
        platform::runMetadataQuery(text, [&](const FolderItem& item, const FileSnapshot& snapshot) {
            const auto parent = item.Parent();
            EXPECT_EQ(parent ? parent->AbsolutePath() : std::string(), tree.string()) << item.AbsolutePath();
            EXPECT_TRUE(hits.emplace(item.Name(), snapshot).second) << item.Name() << " came twice";
        });
        return hits;
    }

    fs::path root, tree;

 private:
    std::optional<ScopedEnv> database_;
};

TEST(MetadataSearchPattern, EscapesTheGlobCharactersOfTheText) {
    const struct {
        const char* text;
        const char* pattern;
    } cases[] = {
        {"match", "*match*"},
        {"", "**"},
        {"*ird[match]?", "*\\*ird\\[match\\]\\?*"},
        {"a\\b", "*a\\\\b*"},
        {" q\"u'o{t}e ", "* q\"u'o{t}e *"},  // only the glob's own characters are special
    };
    for (const auto& c : cases) EXPECT_EQ(platform::locatePatternFor(c.text), c.pattern) << c.text;
}

TEST_F(MetadataSearch, EachKindOfEntryIsDescribed) {
    fs::create_directory(tree / "match folder");
    writeBytes(tree / "match folder" / "content.txt", 5);
    writeBytes(tree / "plain match.txt", 1000);
    writeBytes(tree / ".match dot file", 10);
    fs::create_directory_symlink("match folder", tree / "link to match folder");
    fs::create_symlink("plain match.txt", tree / "link to match file");
    fs::create_symlink("nowhere/none", tree / "dangling match link");
    writeBytes(tree / "unrelated.txt", 3);
    index();

    const struct {
        const char* name;
        bool directory, alias;
        int64_t length;
    } cases[] = {
        {"match folder", true, false, 0},
        {"plain match.txt", false, false, 1000},
        {".match dot file", false, false, 10},
        {"link to match folder", true, true, 0},
        {"link to match file", false, true, 1000},
        // Described by the link itself: its length is that of the text it holds.
        {"dangling match link", false, true, static_cast<int64_t>(std::string_view("nowhere/none").size())},
    };
    const auto hits = find("match");
    std::set<std::string> expected;
    for (const auto& c : cases) expected.insert(c.name);
    EXPECT_EQ(keys(hits), expected);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto hit = hits.find(c.name);
        if (hit == hits.end()) continue;
        EXPECT_EQ(hit->second.directory, c.directory);
        EXPECT_EQ(hit->second.alias, c.alias);
        EXPECT_EQ(hit->second.length, c.length);
        EXPECT_EQ(hit->second.resourceForkLength, 0);
        EXPECT_EQ(hit->second.macType, "");
        EXPECT_EQ(hit->second.macCreator, "");
    }
}

TEST_F(MetadataSearch, TextIsALiteralCaseInsensitivePartOfTheName) {
    const std::vector<std::string> names = {"a match.txt", "we*ird[match]?.txt", "q\"uote.txt", "back\\slash.txt",
                                            "x match y",   "amatchb",            "MiXeD CaSe",
                                            "line\nbreak match"};
    for (const std::string& name : names) writeBytes(tree / name, 1);
    index();
    const struct {
        const char* text;
        std::set<std::string> expected;
    } cases[] = {
        {"MATCH", {"a match.txt", "we*ird[match]?.txt", "x match y", "amatchb", "line\nbreak match"}},
        {"e\nb", {"line\nbreak match"}},  // hits are parted by NUL bytes, not by line ends
        {"mixed case", {"MiXeD CaSe"}},
        {"*ird[match]?", {"we*ird[match]?.txt"}},
        {"w*d", {}},  // as a glob it would match "we*ird[match]?.txt"
        {"[match]", {"we*ird[match]?.txt"}},
        {"[mat]", {}},  // as a glob: any name holding m, a or t
        {"?", {"we*ird[match]?.txt"}},
        {"]", {"we*ird[match]?.txt"}},
        {"q\"u", {"q\"uote.txt"}},
        {"k\\s", {"back\\slash.txt"}},
        {"\\", {"back\\slash.txt"}},
        {" match ", {"x match y"}},
    };
    for (const auto& c : cases) EXPECT_EQ(keys(find(c.text)), c.expected) << "text: [" << c.text << "]";
}

TEST_F(MetadataSearch, TextWithANulByteFindsNothing) {
    // No name can hold a NUL byte, so no name holds such a text.
    for (const char* name : {"drama", "mat.txt", "ma"}) writeBytes(tree / name, 1);
    index();
    EXPECT_EQ(keys(find(std::string("ma\0tch", 6))), std::set<std::string>{});
}

TEST_F(MetadataSearch, EntriesGoneSinceIndexingAreSkipped) {
    writeBytes(tree / "kept match", 1);
    writeBytes(tree / "gone match", 1);
    fs::create_directory(tree / "gone match folder");
    fs::create_symlink("kept match", tree / "gone match link");
    index();
    fs::remove(tree / "gone match");
    fs::remove(tree / "gone match folder");
    fs::remove(tree / "gone match link");
    EXPECT_EQ(keys(find("match")), std::set<std::string>{"kept match"});
}

TEST_F(MetadataSearch, ResourceForkAndFinderInfoComeFromExtendedAttributes) {
    const std::string finderInfo = std::string("BINAVaxo") + std::string(24, '\0');
    writeBytes(tree / "typed match", 1000);
    writeBytes(tree / "forked match", 1000);
    fs::create_directory(tree / "typed match folder");
    writeBytes(tree / "plain match", 1000);
    if (!setAttribute(tree / "typed match", "user.com.apple.FinderInfo", finderInfo) ||
        !setAttribute(tree / "typed match", "user.com.apple.ResourceFork", std::string(24, 'r')) ||
        !setAttribute(tree / "forked match", "user.com.apple.ResourceFork", std::string(3000, 'r')) ||
        !setAttribute(tree / "typed match folder", "user.com.apple.FinderInfo", std::string("fold") + "MACS" +
                                                                                    std::string(24, '\0')))
        GTEST_SKIP() << "user extended attributes are not supported here";
    // Another attribute alone must not make the file look typed.
    setAttribute(tree / "plain match", "user.other", "x");
    index();

    const struct {
        const char* name;
        int64_t length;
        int32_t fork;
        const char *type, *creator;
    } cases[] = {
        {"typed match", 1000, 24, "BINA", "Vaxo"},
        {"forked match", 1000, 3000, "", ""},
        {"typed match folder", 0, 0, "fold", "MACS"},
        {"plain match", 1000, 0, "", ""},
    };
    const auto hits = find("match");
    ASSERT_EQ(hits.size(), std::size(cases));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FileSnapshot& hit = hits.at(c.name);
        EXPECT_EQ(hit.length, c.length);
        EXPECT_EQ(hit.resourceForkLength, c.fork);
        EXPECT_EQ(hit.macType, c.type);
        EXPECT_EQ(hit.macCreator, c.creator);
    }
}

TEST_F(MetadataSearch, DatesAreSecondsSince1904InLocalTime) {
    // Away from UTC, so that a date kept in UTC would differ.
    const ScopedEnv zone("TZ", "EST5EDT");
    constexpr int64_t kWinter = 981173106;  // 2001-02-03 04:05:06 UTC
    constexpr int64_t kSummer = 1215000000;  // 2008-07-02 12:00:00 UTC
    writeBytes(tree / "winter match", 1);
    fs::create_directory(tree / "summer match folder");
    fs::create_symlink("summer match folder", tree / "link to summer match");
    setModified(tree / "winter match", kWinter);
    setModified(tree / "summer match folder", kSummer);
    setModified(tree / "link to summer match", kWinter);
    index();

    const struct {
        const char* name;
        int64_t modified;
        const char* describedBy;  // a live link is described by what it leads to
    } cases[] = {
        {"winter match", kWinter, "winter match"},
        {"summer match folder", kSummer, "summer match folder"},
        {"link to summer match", kSummer, "summer match folder"},
    };
    const auto hits = find("match");
    ASSERT_EQ(hits.size(), std::size(cases));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FileSnapshot& hit = hits.at(c.name);
        EXPECT_EQ(hit.modificationTotalSeconds, platform::totalSecondsFromUnix(c.modified));
        EXPECT_EQ(hit.creationTotalSeconds, creationSeconds(tree / c.describedBy));
    }
    // Five hours west of UTC in February, four in July.
    EXPECT_EQ(hits.at("winter match").modificationTotalSeconds, kWinter + 2082844800 - 5 * 3600);
    EXPECT_EQ(hits.at("summer match folder").modificationTotalSeconds, kSummer + 2082844800 - 4 * 3600);
}

TEST_F(MetadataSearch, NothingIsFoundWithoutAUsableIndexOrProgram) {
    writeBytes(tree / "a match", 1);
    index();
    const fs::path garbage = root / "garbage.db";
    std::ofstream(garbage) << "this is no plocate index\n";
    const fs::path noPrograms = root / "no-programs";
    fs::create_directory(noPrograms);
    const struct {
        const char* label;
        fs::path database;
        const char* path;  // PATH, or nullptr to keep it
    } cases[] = {
        {"missing index", root / "missing.db", nullptr},
        {"no index", garbage, nullptr},
        {"a folder for an index", tree, nullptr},
        {"no plocate on PATH", root / "index.db", noPrograms.c_str()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const ScopedEnv database("QUORVANTEL_LOCATE_DB", c.database.c_str());
        std::optional<ScopedEnv> path;
        if (c.path) path.emplace("PATH", c.path);
        EXPECT_TRUE(find("match").empty());
    }
    EXPECT_EQ(keys(find("match")), std::set<std::string>{"a match"}) << "a failure must not stick";
}

// Runs failing queries with standard error led into a pipe; exits 0 when nothing was found and
// exactly one line, naming the missing index, was written.
[[noreturn]] void failingQueriesCountReasons() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) std::_Exit(3);
    std::fflush(stderr);
    const int savedError = ::dup(STDERR_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::close(fds[1]);
    int hits = 0;
    const auto count = [&hits](const FolderItem&, const FileSnapshot&) { ++hits; };
    {
        const ScopedEnv database("QUORVANTEL_LOCATE_DB", "/nonexistent-quorvantel-folder/missing.db");
        platform::runMetadataQuery("match", count);
        platform::runMetadataQuery("other", count);
        const ScopedEnv path("PATH", "/nonexistent-quorvantel-folder");
        platform::runMetadataQuery("match", count);
    }
    std::fflush(stderr);
    ::dup2(savedError, STDERR_FILENO);
    ::close(savedError);
    std::string written;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) written.append(buffer, static_cast<size_t>(n));
    const auto lines = std::count(written.begin(), written.end(), '\n');
    const bool named = written.find("missing.db") != std::string::npos;
    std::fprintf(stderr, "hits %d, lines %d, index named %s\n%s", hits, static_cast<int>(lines), named ? "yes" : "no",
                 written.c_str());
    std::exit(hits == 0 && lines == 1 && named ? 0 : 1);
}

TEST(MetadataSearchFailure, TheReasonIsWrittenToStandardErrorOncePerProcess) {
    if (!onPath("plocate")) GTEST_SKIP() << "plocate is not installed";
    // A fresh process: the reason is kept back once one was written anywhere in the process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(failingQueriesCountReasons(), ::testing::ExitedWithCode(0), "hits 0, lines 1, index named yes");
}

}  // namespace
