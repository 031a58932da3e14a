// The engine's file layer: every file of a database that is not a regular file is refused on the
// descriptor at once, for the database itself and for its journal, WAL and shared-memory files,
// while sound databases, rollback and WAL alike, are read and written as before. A shared-memory
// file, which the server maps, must be the server's alone; a folder opened to sync it must be one.

#include "platform/regular_file_vfs.h"
#include "platform/sql_database.h"
#include "test_support/files.h"
#include "test_support/sqlite_files.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <future>

namespace {

namespace fs = std::filesystem;
using test_support::Sql;

// Runs an open that must not wait; should it wait on a FIFO after all, a writer releases it so
// that the test fails instead of hanging.
template <typename Open>
auto withoutWaiting(const std::vector<fs::path>& fifos, Open open) {
    auto result = std::async(std::launch::async, open);
    const bool waited = result.wait_for(std::chrono::seconds(10)) != std::future_status::ready;
    while (result.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
        for (const fs::path& fifo : fifos)
            if (const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK); fd >= 0) ::close(fd);
    EXPECT_FALSE(waited) << "the open waited on a FIFO";
    return result.get();
}

TEST(RegularFileVfs, SideFilesThatAreNoRegularFilesAreRefusedAtOnceSoundOnesAreRead) {
    const struct {
        bool wal;
        const char* side;  // beside the database: "" none
        // "fifo", "folder", "link" (to a FIFO), "empty" (a regular file), "foreign" (owned by
        // another user), "shared" (writable by everyone)
        const char* kind;
        bool reads;
    } cases[] = {
        {false, "", "", true},           {true, "", "", true},
        {false, "-journal", "empty", true}, {false, "-journal", "fifo", false},
        {false, "-journal", "link", false}, {false, "-journal", "folder", false},
        {true, "-wal", "fifo", false},    {true, "-shm", "fifo", false},
        {false, "-shm", "fifo", true},  // a rollback database never opens one
        {true, "-shm", "empty", true},    {true, "-shm", "shared", false},
        {true, "-shm", "foreign", false}, {false, "-shm", "foreign", true},
        // The server creates the shared-memory file: it stays its own, whoever owns the database.
        {true, "", "foreign", true},      {true, "", "shared", true},
    };
    for (const auto& c : cases) {
        if (std::string_view(c.kind) == "foreign" && ::geteuid() != 0) continue;  // only root gives files away
        for (const auto mode : {platform::OpenMode::ReadOnly, platform::OpenMode::ReadWrite}) {
            SCOPED_TRACE(std::string(c.wal ? "wal" : "rollback") + c.side + " " + c.kind +
                         (mode == platform::OpenMode::ReadOnly ? " read-only" : " read-write"));
            const test_support::TemporaryFolder folder;
            const fs::path file = folder.path() / "x.vxo", side = file.string() + c.side, fifo = folder.path() / "p";
            Sql{file}(std::string(c.wal ? "PRAGMA journal_mode=WAL;" : "") +
                      "CREATE TABLE paths(name); INSERT INTO paths VALUES ('a'), ('b');");
            const std::string_view kind = c.kind;
            if (kind == "fifo" || kind == "link") {
                ASSERT_EQ(::mkfifo((kind == "fifo" ? side : fifo).c_str(), 0644), 0);
            }
            if (kind == "link") fs::create_symlink(fifo, side);
            if (kind == "folder") fs::create_directory(side);
            if (kind == "empty" || ((kind == "foreign" || kind == "shared") && *c.side)) test_support::writeFile(side, "");
            if (kind == "foreign") {
                ASSERT_EQ(::chown(side.c_str(), 65534, 65534), 0);
            }
            if (kind == "shared") {
                ASSERT_EQ(::chmod(side.c_str(), 0666), 0);
            }

            platform::Database database;
            database.SetDatabaseFile(file);
            // Without a umask a shared-memory file would be created with the database's own mode.
            const mode_t mask = ::umask(kind == "shared" && !*c.side ? 0 : 022);
            const bool connected = withoutWaiting({side, fifo}, [&] { return database.Connect(mode); });
            const auto rows = connected ? database.SQLSelect("SELECT COUNT(*) FROM paths") : nullptr;
            ::umask(mask);
            EXPECT_EQ(rows && rows->IdxField(1)->IntegerValue() == 2, c.reads) << database.ErrorMessage();
            if (c.wal && c.reads) {
                struct stat shm {};
                ASSERT_EQ(::stat((file.string() + "-shm").c_str(), &shm), 0);
                EXPECT_EQ(shm.st_uid, ::geteuid());
                EXPECT_EQ(shm.st_mode & 022, 0u);
            }
            // A database that cannot be read now is told from a file that is none.
            EXPECT_EQ(database.ConnectFailedOnADatabase(), !connected);
            if (c.reads && mode == platform::OpenMode::ReadWrite) {
                EXPECT_TRUE(database.SQLExecute("INSERT INTO paths VALUES ('c')")) << database.ErrorMessage();
                database.Close();
                EXPECT_EQ(Sql(file)("SELECT COUNT(*) FROM paths"), std::vector<std::string>{"3"});
            }
        }
    }
}

TEST(RegularFileVfs, TheOpenedDescriptorDecidesWithoutAnEarlierLookAndBlocksNothingLater) {
    const char* vfs = platform::regularFileVfsName();
    ASSERT_NE(vfs, nullptr);
    const test_support::TemporaryFolder folder;
    const fs::path fifo = folder.path() / "p.vxo", dir = folder.path() / "d.vxo", file = folder.path() / "x.vxo",
                   null = folder.path() / "n.vxo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    fs::create_directory(dir);
    fs::create_symlink("/dev/null", null);  // the engine opens where the link leads: a device
    Sql{file}("CREATE TABLE paths(name)");
    // Straight to the engine, past every check of the caller's: the layer alone refuses.
    for (const auto& [path, opens] :
         {std::pair(fifo, false), std::pair(dir, false), std::pair(null, false), std::pair(file, true)}) {
        for (const int flags : {SQLITE_OPEN_READONLY, SQLITE_OPEN_READWRITE}) {
            SCOPED_TRACE(path.string() + " " + std::to_string(flags));
            sqlite3* db = nullptr;
            const int rc = withoutWaiting({fifo}, [&] { return sqlite3_open_v2(path.c_str(), &db, flags, vfs); });
            EXPECT_EQ(rc == SQLITE_OK, opens) << sqlite3_errstr(rc);
            EXPECT_EQ(sqlite3_exec(db, "SELECT * FROM paths", nullptr, nullptr, nullptr) == SQLITE_OK, opens);
            // The database's descriptor reads and writes as any: without O_NONBLOCK.
            int descriptors = 0;
            for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
                std::error_code error;
                if (fs::read_symlink(entry.path(), error) != path) continue;
                ++descriptors;
                EXPECT_EQ(::fcntl(std::stoi(entry.path().filename()), F_GETFL) & O_NONBLOCK, 0);
            }
            EXPECT_EQ(descriptors, opens ? 1 : 0);
            sqlite3_close(db);
        }
    }
    // With descriptor 0 free the engine parks /dev/null there before it opens the database again.
    const int input = ::dup(0);
    ASSERT_GE(input, 0);
    ::close(0);
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, vfs), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "SELECT * FROM paths", nullptr, nullptr, nullptr), SQLITE_OK);
    std::error_code error;
    EXPECT_EQ(fs::read_symlink("/proc/self/fd/0", error), "/dev/null");
    sqlite3_close(db);
    ::dup2(input, 0);
    ::close(input);
}

// The first sync of a new journal also syncs its folder, opened by the engine by name: a FIFO in
// the folder's place is refused at once, and neither that nor a sound folder fails the sync.
TEST(RegularFileVfs, TheFolderOpenedToSyncAFileIsAFolderOrNothing) {
    sqlite3_vfs* vfs = sqlite3_vfs_find(platform::regularFileVfsName());
    ASSERT_NE(vfs, nullptr);
    for (const bool swapped : {false, true}) {
        SCOPED_TRACE(swapped ? "folder swapped for a FIFO" : "folder");
        const test_support::TemporaryFolder folder;
        const fs::path sub = folder.path() / "sub", database = sub / "x.vxo";
        const std::string journal = database.string() + "-journal" + '\0';  // names end in two NULs
        fs::create_directory(sub);
        Sql{database}("CREATE TABLE paths(name)");
        std::vector<std::max_align_t> storage(vfs->szOsFile / sizeof(std::max_align_t) + 1);
        auto* file = reinterpret_cast<sqlite3_file*>(storage.data());
        const int flags = SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_CREATE | SQLITE_OPEN_READWRITE;
        ASSERT_EQ(vfs->xOpen(vfs, journal.c_str(), file, flags, nullptr), SQLITE_OK);
        EXPECT_EQ(file->pMethods->xWrite(file, "journal", 7, 0), SQLITE_OK);
        if (swapped) {
            fs::rename(sub, folder.path() / "moved");
            ASSERT_EQ(::mkfifo(sub.c_str(), 0644), 0);
        }
        EXPECT_EQ(withoutWaiting({sub}, [&] { return file->pMethods->xSync(file, SQLITE_SYNC_NORMAL); }), SQLITE_OK);
        file->pMethods->xClose(file);
        if (!swapped) {
            EXPECT_EQ(withoutWaiting({}, [&] { return vfs->xDelete(vfs, journal.c_str(), 1); }), SQLITE_OK);
            EXPECT_FALSE(fs::exists(journal.c_str()));
        }
    }
}

}  // namespace
