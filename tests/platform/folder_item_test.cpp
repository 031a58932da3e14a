// File references, text files and the whole-file replacement, on real files in a temporary
// folder. The catalog scan walks folders with Count/Item and decides what to open from the
// kind, lock and type properties, so a wrong answer here means skipped or hanging catalogs.

#include "platform/app_folder.h"
#include "platform/folder_item.h"
#include "platform/text_stream.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <optional>
#include <string>

namespace {

using namespace std::chrono_literals;
using platform::FolderItem;
namespace fs = std::filesystem;

constexpr int64_t kSecondsFrom1904To1970 = 2082844800;

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Sets the immutable attribute for the guard's lifetime; without clearing it the temporary
// folder could not be removed and would stay behind on the machine.
class Immutable {
 public:
    explicit Immutable(std::string path) : path_(std::move(path)) {
        active_ = std::system(("chattr +i '" + path_ + "' 2>/dev/null").c_str()) == 0;
    }
    ~Immutable() {
        if (active_ && std::system(("chattr -i '" + path_ + "'").c_str()) != 0)
            ADD_FAILURE() << "could not clear the immutable attribute of " << path_;
    }
    bool active() const { return active_; }

 private:
    std::string path_;
    bool active_ = false;
};

// Sets or clears one environment variable and puts back the old value afterwards.
class ScopedEnv {
 public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
        ::tzset();
    }
    ~ScopedEnv() {
        saved_ ? ::setenv(name_, saved_->c_str(), 1) : ::unsetenv(name_);
        ::tzset();
    }

 private:
    const char* name_;
    std::optional<std::string> saved_;
};

// Runs the action on another thread. If it is still waiting on the FIFO after a generous time,
// opening the FIFO's other end releases it, so that the test fails instead of hanging.
template <typename Action>
bool returnsWithoutWaitingOn(const std::string& fifo, Action action) {
    auto done = std::async(std::launch::async, action);
    if (done.wait_for(5s) == std::future_status::ready) return true;
    const int fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    done.wait();
    if (fd >= 0) ::close(fd);
    return false;
}

class FolderItemTest : public ::testing::Test {
 protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
    std::string path(const std::string& name) const { return dir_.path().toStdString() + "/" + name; }
    FolderItem item(const std::string& name) const { return FolderItem(path(name)); }
    FolderItem folder() const { return FolderItem(dir_.path().toStdString()); }

    QTemporaryDir dir_;
};

TEST(FolderItemPath, NamesParentsAndChildren) {
    EXPECT_EQ(FolderItem("/a/b/c.vxo").Name(), "c.vxo");
    EXPECT_EQ(FolderItem("/a/b/c.vxo//").Name(), "c.vxo");
    EXPECT_EQ(FolderItem("/a/b/c.vxo//").AbsolutePath(), "/a/b/c.vxo");
    EXPECT_EQ(FolderItem("/").Name(), "/");
    EXPECT_EQ(FolderItem("///").AbsolutePath(), "/");
    EXPECT_FALSE(FolderItem("/").Parent().has_value());
    EXPECT_EQ(FolderItem("/a").Parent(), FolderItem("/"));
    EXPECT_EQ(FolderItem("/a/b/").Parent(), FolderItem("/a"));
    EXPECT_EQ(FolderItem("/").Child("x").AbsolutePath(), "/x");
    EXPECT_EQ(FolderItem("/a/").Child("x").AbsolutePath(), "/a/x");
    EXPECT_EQ(FolderItem("/a").Child("x").Parent(), FolderItem("/a"));
}

TEST_F(FolderItemTest, KindsOfEntries) {
    writeFile(path("file.vxo"), "data");
    ASSERT_TRUE(item("sub").CreateAsFolder());
    ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0644), 0);
    fs::create_symlink(path("missing"), path("dangling"));
    fs::create_symlink(path("file.vxo"), path("link"));
    writeFile(path(".hidden"), "");

    struct Expect {
        const char* name;
        bool exists, directory, regular, alias, visible;
    };
    const Expect cases[] = {
        {"file.vxo", true, false, true, false, true}, {"sub", true, true, false, false, true},
        {"pipe", true, false, false, false, true},    {"dangling", false, false, false, true, true},
        {"link", true, false, true, true, true},      {".hidden", true, false, true, false, false},
        {"missing", false, false, false, false, true},
    };
    for (const auto& c : cases) {
        const FolderItem f = item(c.name);
        EXPECT_EQ(f.Exists(), c.exists) << c.name;
        EXPECT_EQ(f.Directory(), c.directory) << c.name;
        EXPECT_EQ(f.IsRegularFile(), c.regular) << c.name;
        EXPECT_EQ(f.Alias(), c.alias) << c.name;
        EXPECT_EQ(f.Visible(), c.visible) << c.name;
    }
    EXPECT_TRUE(item("sub").Delete());
    EXPECT_FALSE(item("sub").Exists());
    EXPECT_TRUE(item("file.vxo").Delete());
    EXPECT_FALSE(item("file.vxo").Delete());
}

TEST_F(FolderItemTest, LockedMeansImmutableOnly) {
    writeFile(path("file"), "x");
    ASSERT_TRUE(item("ro").CreateAsFolder());
    ASSERT_EQ(::chmod(path("ro").c_str(), 0555), 0);
    EXPECT_FALSE(item("ro").Locked());
    EXPECT_FALSE(item("file").Locked());
    EXPECT_FALSE(item("missing").Locked());
    {
        Immutable immutable(path("file"));
        if (!immutable.active()) GTEST_SKIP() << "chattr +i is not supported here";
        EXPECT_TRUE(item("file").Locked());
    }
    EXPECT_FALSE(item("file").Locked());
}

TEST_F(FolderItemTest, LockedOfFifoDoesNotWaitForAWriter) {
    const std::string fifo = path("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    bool locked = true;
    EXPECT_TRUE(returnsWithoutWaitingOn(fifo, [&] { locked = FolderItem(fifo).Locked(); }));
    EXPECT_FALSE(locked);
}

TEST_F(FolderItemTest, CountAndItemAreOneBasedInNameOrder) {
    for (const char* name : {"b.vxo", "c", "a.vxo"}) writeFile(path(name), "");
    ASSERT_TRUE(item("b-dir").CreateAsFolder());
    const FolderItem f = folder();
    ASSERT_EQ(f.Count(), 4);
    const char* expected[] = {"a.vxo", "b-dir", "b.vxo", "c"};
    for (int32_t i = 1; i <= 4; ++i) {
        const auto child = f.Item(i);
        ASSERT_TRUE(child.has_value()) << i;
        EXPECT_EQ(child->Name(), expected[i - 1]);
        EXPECT_EQ(child->Parent(), f);
    }
    EXPECT_FALSE(f.Item(0).has_value());
    EXPECT_FALSE(f.Item(5).has_value());
    EXPECT_FALSE(f.Item(-1).has_value());
    EXPECT_EQ(item("c").Count(), 0);
    EXPECT_FALSE(item("missing").Item(1).has_value());
}

TEST_F(FolderItemTest, LengthAndFinderInfo) {
    writeFile(path("data"), std::string(1234, 'x'));
    EXPECT_EQ(item("data").Length(), 1234);
    EXPECT_EQ(folder().Length(), 0);
    EXPECT_EQ(item("missing").Length(), 0);
    EXPECT_EQ(item("data").MacType(), "");
    EXPECT_EQ(item("data").MacCreator(), "");

    std::string info = "BINAVaxo";
    info.resize(32, '\0');
    if (::setxattr(path("data").c_str(), "user.com.apple.FinderInfo", info.data(), info.size(), 0) != 0)
        GTEST_SKIP() << "user extended attributes are not supported here";
    EXPECT_EQ(item("data").MacType(), "BINA");
    EXPECT_EQ(item("data").MacCreator(), "Vaxo");
}

TEST(FolderItemTime, SecondsSince1904InLocalTime) {
    // The offset is that of the moment converted, not of today: DST must show in July only.
    ScopedEnv tz("TZ", "EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(platform::totalSecondsFromUnix(0), kSecondsFrom1904To1970 - 5 * 3600);
    EXPECT_EQ(platform::totalSecondsFromUnix(962409600), 962409600 + kSecondsFrom1904To1970 - 4 * 3600);
    ScopedEnv east("TZ", "XYZ-3");
    EXPECT_EQ(platform::totalSecondsFromUnix(0), kSecondsFrom1904To1970 + 3 * 3600);
}

TEST_F(FolderItemTest, FileTimes) {
    ScopedEnv tz("TZ", "XYZ-3");
    const time_t before = std::time(nullptr);
    writeFile(path("f"), "x");
    const time_t after = std::time(nullptr);
    const int64_t created = item("f").CreationTotalSeconds();
    EXPECT_GE(created, before + kSecondsFrom1904To1970 + 3 * 3600 - 1);
    EXPECT_LE(created, after + kSecondsFrom1904To1970 + 3 * 3600 + 1);

    const struct timeval times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimes(path("f").c_str(), times), 0);
    EXPECT_EQ(item("f").ModificationTotalSeconds(), 1000000000 + kSecondsFrom1904To1970 + 3 * 3600);
    EXPECT_EQ(item("missing").ModificationTotalSeconds(), 0);
}

TEST_F(FolderItemTest, GetFolderItemResolvesInTheApplicationFolder) {
    ASSERT_TRUE(item("app").CreateAsFolder());
    ASSERT_TRUE(item("app/logs").CreateAsFolder());
    ScopedEnv env("QUORVANTEL_APP_FOLDER", path("app").c_str());
    EXPECT_EQ(platform::ApplicationFolder(), item("app"));
    EXPECT_EQ(platform::GetFolderItem(""), item("app"));
    EXPECT_EQ(platform::GetFolderItem("settings.txt"), item("app/settings.txt"));
    EXPECT_EQ(platform::GetFolderItem("logs/today.log"), item("app/logs/today.log"));
    EXPECT_EQ(platform::GetFolderItem(path("other")), item("other"));
    EXPECT_FALSE(platform::GetFolderItem("nowhere/file").has_value());
    EXPECT_FALSE(platform::GetFolderItem(path("nowhere/file")).has_value());
    EXPECT_FALSE(platform::GetFolderItem(std::string_view("set\0tings.txt", 13)).has_value());
    EXPECT_FALSE(platform::GetFolderItem(std::string_view("\0", 1)).has_value());
}

using TextStreamTest = FolderItemTest;

TEST_F(TextStreamTest, CreateTruncatesAndAppendAppends) {
    writeFile(path("log"), "old content that is long\n");
    {
        auto out = platform::TextOutputStream::Create(item("log"));
        ASSERT_NE(out, nullptr);
        EXPECT_TRUE(out->WriteLine("first"));
        EXPECT_TRUE(out->Write("sec"));
    }
    EXPECT_EQ(readFile(path("log")), "first\nsec");
    {
        auto out = platform::TextOutputStream::Append(item("log"));
        ASSERT_NE(out, nullptr);
        EXPECT_TRUE(out->WriteLine("ond"));
        out->Close();
        EXPECT_FALSE(out->Write("after close"));
    }
    EXPECT_EQ(readFile(path("log")), "first\nsecond\n");
    auto created = platform::TextOutputStream::Append(item("new"));
    ASSERT_NE(created, nullptr);
    EXPECT_TRUE(created->WriteLine(""));
    created.reset();
    EXPECT_EQ(readFile(path("new")), "\n");
    EXPECT_EQ(platform::TextOutputStream::Create(item("missing/log")), nullptr);
    EXPECT_EQ(platform::TextOutputStream::Append(item("missing/log")), nullptr);
}

TEST_F(TextStreamTest, InputOnlyFromRegularFiles) {
    const std::string fifo = path("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    bool opened = true;
    EXPECT_TRUE(returnsWithoutWaitingOn(fifo, [&] {
        opened = platform::TextInputStream::Open(FolderItem(fifo)) != nullptr;
    }));
    EXPECT_FALSE(opened);
    EXPECT_EQ(platform::TextInputStream::Open(folder()), nullptr);
    EXPECT_EQ(platform::TextInputStream::Open(item("missing")), nullptr);
}

TEST_F(TextStreamTest, ReadAllOfALargeFileIsWhole) {
    std::string content;
    for (int i = 0; content.size() < (1u << 20) + 7; ++i) content += static_cast<char>(i * 31 % 256);
    writeFile(path("big"), content);
    auto in = platform::TextInputStream::Open(item("big"));
    ASSERT_NE(in, nullptr);
    EXPECT_TRUE(in->ReadAll() == content);  // not EXPECT_EQ: a megabyte diff is unreadable
    EXPECT_EQ(in->ReadAll(), "");
}

TEST_F(TextStreamTest, ReplaceFileAtomically) {
    writeFile(path("settings.txt"), "old");
    ASSERT_TRUE(platform::replaceFileAtomically(item("settings.txt"), "new content\n"));
    EXPECT_EQ(readFile(path("settings.txt")), "new content\n");
    ASSERT_TRUE(platform::replaceFileAtomically(item("fresh.txt"), ""));
    EXPECT_TRUE(item("fresh.txt").IsRegularFile());
    EXPECT_EQ(folder().Count(), 2) << "a temporary file was left behind";
    EXPECT_FALSE(platform::replaceFileAtomically(item("missing/settings.txt"), "x"));
}

TEST_F(TextStreamTest, ReplaceInImmutableFolderKeepsTheOldFile) {
    ASSERT_TRUE(item("conf").CreateAsFolder());
    const std::string old = std::string("old\0bytes\r\n", 11);
    writeFile(path("conf/settings.txt"), old);
    {
        Immutable immutable(path("conf"));
        if (!immutable.active()) GTEST_SKIP() << "chattr +i is not supported here";
        EXPECT_FALSE(platform::replaceFileAtomically(item("conf/settings.txt"), "new"));
    }
    EXPECT_EQ(readFile(path("conf/settings.txt")), old);
    EXPECT_EQ(item("conf").Count(), 1) << "a temporary file was left behind";
}

}  // namespace
