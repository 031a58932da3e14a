// File references and the file-name search, on real files in a temporary folder. The catalog
// scan decides what to open from the kind, lock and type properties, and the Spotlight records
// are made from the search's snapshots, so a wrong answer here means skipped or hanging catalogs
// or wrong records.

#include "platform/folder_item.h"
#include "platform/metadata_search.h"
#include "platform/sql_database.h"
#include "platform/text_stream.h"
#include "test_support/programs.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <set>

namespace {

using platform::FileSnapshot;
using platform::FolderItem;
constexpr int64_t k1904 = 2082844800;  // seconds from 1904 to 1970

// Sets one environment variable (nullptr clears it) for the scope, the time zone included.
struct ScopedEnv {
    ScopedEnv(const char* name, const char* value) : name(name), old(std::getenv(name) ? std::getenv(name) : "") {
        set(value);
    }
    ~ScopedEnv() { set(old.empty() ? nullptr : old.c_str()); }
    void set(const char* value) const {
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
        ::tzset();
    }
    const char* name;
    const std::string old;
};

class FolderItemTest : public ::testing::Test {
 protected:
    std::string path(const std::string& name) const { return dir.filePath(QString::fromStdString(name)).toStdString(); }
    FolderItem item(const std::string& name) const { return FolderItem(path(name)); }
    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }

    QTemporaryDir dir;
};

TEST_F(FolderItemTest, KindsOfEntries) {
    for (const char* name : {"file", ".hidden"}) write(name, "data");
    ASSERT_TRUE(item("sub").CreateAsFolder());
    ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0644), 0);
    std::filesystem::create_symlink(path("missing"), path("dangling"));
    std::filesystem::create_symlink(path("file"), path("link"));
    ASSERT_EQ(::chmod(path("sub").c_str(), 0555), 0);
    const struct { const char* name; bool exists, directory, regular, alias, visible; } cases[] = {
        {"file", true, false, true, false, true},      {"sub", true, true, false, false, true},
        {"pipe", true, false, false, false, true},     {"dangling", false, false, false, true, true},
        {"link", true, false, true, true, true},       {".hidden", true, false, true, false, false},
        {"missing", false, false, false, false, true},
    };
    for (const auto& c : cases) {
        const FolderItem f = item(c.name);
        EXPECT_EQ((std::vector<bool>{f.Exists(), f.Directory(), f.IsRegularFile(), f.Alias(), f.Visible()}),
                  (std::vector<bool>{c.exists, c.directory, c.regular, c.alias, c.visible})) << c.name;
    }
    const std::string info = "BINAVaxo" + std::string(24, '\0');
    const bool typed = ::setxattr(path("file").c_str(), "user.com.apple.FinderInfo", info.data(), info.size(), 0) == 0;
    EXPECT_EQ(item("file").MacType() + item("file").MacCreator() + item("sub").MacType(), typed ? "BINAVaxo" : "");
    EXPECT_FALSE(item("sub").Locked() || item("file").Locked() || item("missing").Locked());  // read-only is not locked
    // Locked is the immutable attribute, cleared again so that the temporary folder can go.
    if (std::system(("chattr +i '" + path("file") + "' 2>/dev/null").c_str()) == 0) {
        EXPECT_TRUE(item("file").Locked());
        EXPECT_EQ(std::system(("chattr -i '" + path("file") + "'").c_str()), 0);
    }
}

// Opening a FIFO for reading waits for a writer, so whichever layer asks must look first.
TEST_F(FolderItemTest, FifoDeviceAndFolderAreNeverOpened) {
    ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0644), 0);
    for (const std::string& target : {path("pipe"), std::string("/dev/null"), path("")}) {
        auto opened = std::async(std::launch::async, [&] {
            platform::Database db;
            db.SetDatabaseFile(target);
            return std::vector<bool>{db.Connect(platform::OpenMode::ReadOnly), db.Connect(),
                                     platform::TextInputStream::Open(FolderItem(target)) != nullptr,
                                     FolderItem(target).Locked()};
        });
        if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "waited on " << target;
            ::close(::open(path("pipe").c_str(), O_RDWR | O_NONBLOCK));  // lets a stuck reader go
        }
        EXPECT_EQ(opened.get(), std::vector<bool>(4, false)) << target;
    }
}

TEST_F(FolderItemTest, ItemsAreInNameOrder) {
    for (const char* name : {"b.vxo", "c", "a.vxo", ".hidden"}) write(name, "");
    ASSERT_TRUE(item("b-dir").CreateAsFolder());
    write("b-dir/inner", "");
    const FolderItem folder(dir.path().toStdString());
    std::vector<std::string> names;
    for (const FolderItem& child : folder.Items()) names.push_back(child.Name());
    EXPECT_EQ(names, (std::vector<std::string>{".hidden", "a.vxo", "b-dir", "b.vxo", "c"}));
    EXPECT_EQ(folder.Items().front().Parent(), folder);
    EXPECT_TRUE(item("missing").Items().empty() && item("c").Items().empty());
    EXPECT_FALSE(FolderItem("/").Parent().has_value());  // a walk up ends
}

TEST_F(FolderItemTest, GetFolderItemResolvesInTheApplicationFolder) {
    ASSERT_TRUE(item("app").CreateAsFolder() && item("app/logs").CreateAsFolder());
    const ScopedEnv env("QUORVANTEL_APP_FOLDER", path("app").c_str());
    EXPECT_EQ(platform::GetFolderItem(""), item("app"));
    EXPECT_EQ(platform::GetFolderItem("logs/today.log"), item("app/logs/today.log"));
    EXPECT_EQ(platform::GetFolderItem(path("other")), item("other"));
    EXPECT_FALSE(platform::GetFolderItem("nowhere/file") || platform::GetFolderItem(path("nowhere/file")) ||
                 platform::GetFolderItem(std::string_view("set\0tings.txt", 13)));
}

class MetadataSearch : public FolderItemTest {
 protected:
    void SetUp() override {
        if (!test_support::onPath("updatedb") || !test_support::onPath("plocate")) GTEST_SKIP() << "no plocate";
        ASSERT_TRUE(item("tree").CreateAsFolder());
    }
    // Indexes the tree as it is now and points the search at that index.
    void index() {
        ASSERT_EQ(test_support::runQuietly({"updatedb", "-U", path("tree"), "-o", path("index.db"), "-l", "no"}), 0);
        database.emplace("QUORVANTEL_LOCATE_DB", path("index.db").c_str());
    }
    std::map<std::string, FileSnapshot> find(std::string_view text) {
        std::map<std::string, FileSnapshot> hits;
        platform::runMetadataQuery(text, [&](const FolderItem& hit, const FileSnapshot& snapshot) {
            EXPECT_EQ(hit.Parent(), item("tree"));
            EXPECT_TRUE(hits.emplace(hit.Name(), snapshot).second) << hit.Name() << " came twice";
            return true;
        });
        return hits;
    }
    std::set<std::string> names(std::string_view text) {
        std::set<std::string> result;
        for (const auto& hit : find(text)) result.insert(hit.first);
        return result;
    }
    // The modification time of the entry itself, also of a symbolic link.
    void touch(const std::string& name, time_t seconds) {
        const timeval times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(::lutimes(path("tree/" + name).c_str(), times), 0) << name;
    }
    std::optional<ScopedEnv> database;
};

TEST_F(MetadataSearch, EachKindOfEntryIsDescribed) {
    const ScopedEnv zone("TZ", "EST5EDT");  // away from UTC, with DST in July only
    constexpr time_t kWinter = 981173106, kSummer = 1215000000;
    const int64_t winter = kWinter + k1904 - 5 * 3600, summer = kSummer + k1904 - 4 * 3600;
    ASSERT_TRUE(item("tree/match folder").CreateAsFolder());
    write("tree/plain match.txt", std::string(1000, 'x'));
    write("tree/.match dot file", "0123456789");
    write("tree/unrelated.txt", "abc");
    write("tree/gone match", "x");
    std::filesystem::create_directory_symlink("match folder", path("tree/link to match folder"));
    std::filesystem::create_symlink("plain match.txt", path("tree/link to match file"));
    std::filesystem::create_symlink("nowhere/none", path("tree/dangling match link"));
    for (const char* name : {"plain match.txt", ".match dot file", "link to match folder", "dangling match link"})
        touch(name, kWinter);
    touch("match folder", kSummer);
    const auto attribute = [&](const char* name, const char* key, const std::string& value) {
        return ::setxattr(path(std::string("tree/") + name).c_str(), key, value.data(), value.size(), 0) == 0;
    };
    if (!attribute(".match dot file", "user.com.apple.FinderInfo", "BINAVaxo" + std::string(24, '\0')) ||
        !attribute(".match dot file", "user.com.apple.ResourceFork", std::string(24, 'r')) ||
        !attribute("plain match.txt", "user.other", "not a type"))
        GTEST_SKIP() << "no user extended attributes here";
    index();
    item("tree/gone match").Delete();  // a hit gone since indexing is skipped

    const struct { const char* name; bool directory, alias; int64_t length, modified; int32_t fork; const char* type; }
        cases[] = {
        {"match folder", true, false, 0, summer, 0, ""},
        {"plain match.txt", false, false, 1000, winter, 0, ""},
        {".match dot file", false, false, 10, winter, 24, "BINAVaxo"},
        {"link to match folder", true, true, 0, summer, 0, ""},  // a live link describes its target
        {"link to match file", false, true, 1000, winter, 0, ""},
        {"dangling match link", false, true, 12, winter, 0, ""},  // described by the link itself
    };
    const auto hits = find("match");
    ASSERT_EQ(hits.size(), std::size(cases));
    for (const auto& c : cases) {
        const FileSnapshot& h = hits.at(c.name);
        EXPECT_EQ(std::tie(h.directory, h.alias, h.length, h.modificationTotalSeconds, h.resourceForkLength),
                  std::tie(c.directory, c.alias, c.length, c.modified, c.fork)) << c.name;
        EXPECT_EQ(h.macType + h.macCreator, c.type) << c.name;
    }
    // The birth time where the file system keeps one, else the modification time.
    struct statx entry {};
    ASSERT_EQ(::statx(AT_FDCWD, path("tree/plain match.txt").c_str(), 0, STATX_BTIME, &entry), 0);
    EXPECT_EQ(hits.at("plain match.txt").creationTotalSeconds,
              entry.stx_mask & STATX_BTIME ? platform::totalSecondsFromUnix(entry.stx_btime.tv_sec) : winter);
}

TEST_F(MetadataSearch, TextIsALiteralCaseInsensitivePartOfTheName) {
    for (const char* name : {"a match.txt", "we*ird[match]?.txt", "q\"uote.txt", "back\\slash.txt", "x match y",
                             "MiXeD CaSe", "line\nbreak match"})
        write(std::string("tree/") + name, "x");
    index();
    const struct { std::string text; std::set<std::string> expected; } cases[] = {
        {"MATCH", {"a match.txt", "we*ird[match]?.txt", "x match y", "line\nbreak match"}},
        {"e\nb", {"line\nbreak match"}},  // hits are parted by NUL bytes, not by line ends
        {"mixed case", {"MiXeD CaSe"}},
        {"*ird[match]?", {"we*ird[match]?.txt"}},
        {"w*d", {}},    // as a glob it would match "we*ird[match]?.txt"
        {"[mat]", {}},  // as a glob: any name holding m, a or t
        {"?", {"we*ird[match]?.txt"}},
        {"q\"u", {"q\"uote.txt"}},
        {"\\", {"back\\slash.txt"}},
        {" match ", {"x match y"}},
        {std::string("ma\0tch", 6), {}},
    };
    for (const auto& c : cases) EXPECT_EQ(names(c.text), c.expected) << "[" << c.text << "]";
}

TEST_F(MetadataSearch, NothingIsFoundWithoutAUsableIndexOrProgram) {
    write("tree/a match", "x");
    ASSERT_TRUE(item("no-programs").CreateAsFolder());
    index();
    const struct { std::string database; const char* programs; } cases[] = {
        {path("missing.db"), nullptr}, {path("tree"), nullptr}, {path("index.db"), "no-programs"},
    };
    for (const auto& c : cases) {
        const ScopedEnv database("QUORVANTEL_LOCATE_DB", c.database.c_str());
        const ScopedEnv programs("PATH", c.programs ? path(c.programs).c_str() : std::getenv("PATH"));
        EXPECT_TRUE(find("match").empty()) << c.database << " " << (c.programs ? c.programs : "");
    }
    EXPECT_EQ(names("match"), std::set<std::string>{"a match"}) << "a failure must not stick";
}

// Without a fixture: the process ends inside the test, so a temporary folder would stay behind.
TEST(MetadataSearchFailure, TheReasonIsWrittenToStandardErrorOncePerProcess) {
    if (!test_support::onPath("plocate")) GTEST_SKIP() << "no plocate";
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, where nothing was reported yet
    EXPECT_EXIT(
        {
            const ScopedEnv database("QUORVANTEL_LOCATE_DB", "/nonexistent-quorvantel/missing.db");
            const auto hit = [](const FolderItem&, const FileSnapshot&) -> bool { std::_Exit(2); };
            platform::runMetadataQuery("match", hit);
            platform::runMetadataQuery("other", hit);
            std::fputs("done\n", stderr);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "^[^\n]*missing\\.db[^\n]*\ndone\n$");
}

}  // namespace
