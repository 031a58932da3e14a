// The preferences database beside the application's folder: the default databases registered at
// start-up, the folder of catalog files scanned when asked, and the list written back at quit.
// Every file here is a real SQLite file that the test makes with the sqlite3 C API.

#include "core/app.h"
#include "core/console_access.h"
#include "core/gfs_state.h"
#include "platform/message_box.h"
#include "recording_fakes.h"
#include "test_folder.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = qvtest::fs;
using qvtest::readFile;

using qvtest::RecordingPresenter;
using qvtest::Shown;
using CountingConsole = qvtest::RecordingConsole;

// A connection of the test's own, independent of the server's wrapper.
class SqliteFile {
 public:
    explicit SqliteFile(const fs::path& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
            ADD_FAILURE() << "cannot open " << path << ": " << sqlite3_errmsg(db_);
    }
    ~SqliteFile() { sqlite3_close(db_); }
    SqliteFile(const SqliteFile&) = delete;
    SqliteFile& operator=(const SqliteFile&) = delete;

    void exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) ADD_FAILURE() << sql << ": " << error;
        sqlite3_free(error);
    }
    void insert(const std::string& table, const std::string& value) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db_, ("INSERT INTO " + table + " VALUES (?)").c_str(), -1, &statement, nullptr);
        sqlite3_bind_text(statement, 1, value.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(statement) != SQLITE_DONE) ADD_FAILURE() << "insert into " << table << ": " << sqlite3_errmsg(db_);
        sqlite3_finalize(statement);
    }
    std::vector<std::string> column(const std::string& sql) {
        std::vector<std::string> values;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
            return {"<" + std::string(sqlite3_errmsg(db_)) + ">"};
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(statement, 0);
            values.emplace_back(text ? reinterpret_cast<const char*>(text) : "<null>");
        }
        sqlite3_finalize(statement);
        return values;
    }

 private:
    sqlite3* db_ = nullptr;
};

struct Preferences {
    std::optional<std::vector<std::string>> defaults;  // rows of DefDBs; none: no such table
    std::optional<std::string> target;                 // the row of dbTarget; none: no such table
    std::optional<int> io;                             // the row of useDefDBs; none: no such table
};

void makePreferences(const fs::path& file, const Preferences& p) {
    SqliteFile db(file);
    db.exec("CREATE TABLE defFont(name TEXT)");
    db.insert("defFont", "Geneva");
    if (p.defaults) {
        db.exec("CREATE TABLE DefDBs(paths TEXT)");
        for (const auto& path : *p.defaults) db.insert("DefDBs", path);
    }
    if (p.target) {
        db.exec("CREATE TABLE dbTarget(path TEXT)");
        db.insert("dbTarget", *p.target);
    }
    if (p.io) {
        db.exec("CREATE TABLE useDefDBs(io INTEGER)");
        db.exec("INSERT INTO useDefDBs VALUES (" + std::to_string(*p.io) + ")");
    }
}

std::vector<std::string> storedDefaults(const fs::path& file) {
    return SqliteFile(file).column("SELECT paths FROM DefDBs ORDER BY rowid");
}

std::vector<std::string> tableNames(const fs::path& file) {
    return SqliteFile(file).column("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name");
}

void makeCatalog(const fs::path& file) {
    SqliteFile db(file);
    db.exec("CREATE TABLE files(name TEXT, path TEXT)");
}

std::vector<std::string> paths(const std::vector<platform::FolderItem>& items) {
    std::vector<std::string> texts;
    for (const auto& item : items) texts.push_back(item.AbsolutePath());
    return texts;
}

// One application object in a private folder; "preferences" and the catalogs lie beside "app".
class PrefsRun {
 public:
    PrefsRun() {
        platform::setMessagePresenter(std::make_unique<RecordingPresenter>(shown));
        application.setConsole(&console);
        fs::create_directory(catalogs());
    }
    ~PrefsRun() {
        application.setConsole(nullptr);
        gfs::PPdbTarget.reset();
    }

    fs::path root() const { return folder.path().parent_path(); }
    fs::path preferences() const { return root() / "preferences"; }
    fs::path catalogs() const { return root() / "catalogs"; }
    std::string catalog(const std::string& name) const {
        makeCatalog(catalogs() / name);
        return (catalogs() / name).string();
    }

    qvtest::TestFolder folder;
    CountingConsole console;
    std::shared_ptr<Shown> shown = std::make_shared<Shown>();
    app application;
};

TEST(PreferencesRead, BrokenDefaultListKeepsTheRowsBeforeItAndIsEmptiedOnDisk) {
    // "A" and "B" are catalogs that exist; "gone" is one that was deleted before the start.
    using Rows = std::vector<std::string>;
    const struct {
        const char* what;
        Rows rows;
        Rows registered;
        bool broken;
        Rows writtenAtQuit;
    } cases[] = {
        {"the second file was deleted", {"A", "gone"}, {"A"}, true, {"A"}},
        {"the second lies under a missing folder", {"A", "/no/such/dir/x.vxo"}, {"A"}, true, {"A"}},
        {"an empty first path", {"", "A"}, {}, true, {}},
        {"one path twice in a row", {"A", "A", "B"}, {"A"}, true, {"A"}},
        {"one path twice apart", {"A", "B", "A"}, {"A", "B", "A"}, false, {"A", "B", "A"}},
        {"a sound list", {"B", "A"}, {"B", "A"}, false, {"B", "A"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PrefsRun run;
        const std::string a = run.catalog("a.vxo"), b = run.catalog("b.vxo"), gone = run.catalog("gone.vxo");
        fs::remove(gone);
        const auto real = [&](const Rows& tokens) {
            Rows out;
            for (const auto& t : tokens) out.push_back(t == "A" ? a : t == "B" ? b : t == "gone" ? gone : t);
            return out;
        };
        makePreferences(run.preferences(), {real(c.rows), std::nullopt, std::nullopt});

        run.application.checkPrefs();
        ASSERT_TRUE(run.application.prefsFoit);
        EXPECT_EQ(run.application.prefsFoit->AbsolutePath(), run.preferences().string());
        EXPECT_EQ(paths(run.application.databases), real(c.registered));
        EXPECT_EQ(paths(run.application.defDatabases), real(c.registered));
        EXPECT_EQ(run.shown->messages, c.broken ? Rows{app::msg_defdblisterror()} : Rows{});
        EXPECT_EQ(run.shown->beeps, 0);
        EXPECT_EQ(run.console.refreshes, 0);
        EXPECT_EQ(storedDefaults(run.preferences()), c.broken ? Rows{} : real(c.rows));

        run.application.writePrefs(run.application.prefsFoit, true, false);
        EXPECT_EQ(storedDefaults(run.preferences()), real(c.writtenAtQuit));
        EXPECT_EQ(run.shown->messages.size(), c.broken ? 1u : 0u);
    }
}

TEST(PreferencesRead, TargetFolderIsScannedOnlyWhenSwitchedOn) {
    using Names = std::vector<std::string>;
    const struct {
        const char* what;
        std::optional<int> io;
        bool realTarget;            // false: a path for which no folder item can be made
        Names defaults;             // catalog names in DefDBs
        Names searched;             // catalog names in app.databases afterwards, in order
        int refreshes;
    } cases[] = {
        {"switched on", 1, true, {}, {"a.VXO", "b.vxo"}, 1},
        {"a default is not registered twice", 1, true, {"b.vxo"}, {"b.vxo", "a.VXO"}, 1},
        {"switched off", 0, true, {}, {}, 0},
        {"any value but 1 is off", 2, true, {}, {}, 0},
        {"no useDefDBs table", std::nullopt, true, {}, {}, 0},
        {"a target that cannot be made", 1, false, {}, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PrefsRun run;
        const fs::path target = run.root() / "target";
        fs::create_directories(target / "d.vxo");
        for (const char* name : {"a.VXO", "b.vxo", "c.txt", "d.vxo/inner.vxo"}) makeCatalog(target / name);
        std::vector<std::string> defaults;
        for (const auto& name : c.defaults) defaults.push_back((target / name).string());
        const std::string targetPath = c.realTarget ? target.string() : "/no/such/parent/x";
        makePreferences(run.preferences(), {defaults, targetPath, c.io});

        run.application.checkPrefs();
        Names searched;
        for (const auto& item : run.application.databases) searched.push_back(item.Name());
        EXPECT_EQ(searched, c.searched);
        // Found by the scan means searched only, never default.
        EXPECT_EQ(paths(run.application.defDatabases), defaults);
        EXPECT_EQ(run.console.refreshes, c.refreshes);
        EXPECT_EQ(gfs::PPdbTarget.has_value(), c.realTarget);
        if (gfs::PPdbTarget) {
            EXPECT_EQ(gfs::PPdbTarget->AbsolutePath(), target.string());
        }
        EXPECT_TRUE(run.shown->messages.empty());
        EXPECT_EQ(run.shown->beeps, 0);
    }
}

TEST(PreferencesRead, MissingTablesSkipTheirStepsSilently) {
    const struct {
        const char* what;
        bool defaults, target, io;
        size_t searched, asDefault;
    } cases[] = {
        {"only DefDBs", true, false, false, 1, 1},
        {"only useDefDBs", false, false, true, 0, 0},
        {"no DefDBs", false, true, true, 1, 0},
        {"no dbTarget", true, false, true, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PrefsRun run;
        const std::string listed = run.catalog("listed.vxo");
        const fs::path target = run.root() / "target";
        fs::create_directory(target);
        makeCatalog(target / "scanned.vxo");
        Preferences p;
        if (c.defaults) p.defaults = std::vector<std::string>{listed};
        if (c.target) p.target = target.string();
        if (c.io) p.io = 1;
        makePreferences(run.preferences(), p);

        run.application.checkPrefs();
        EXPECT_EQ(run.application.databases.size(), c.searched);
        EXPECT_EQ(run.application.defDatabases.size(), c.asDefault);
        EXPECT_TRUE(run.shown->messages.empty());
        EXPECT_EQ(run.shown->beeps, 0);
    }
}

TEST(PreferencesRead, FilesThatAreNoDatabaseAreNeitherReadNorWritten) {
    const struct {
        const char* what;
        std::function<void(const fs::path&)> make;  // nullptr: no file at all
    } cases[] = {
        {"no file", nullptr},
        {"a text file", [](const fs::path& p) { qvtest::writeFile(p, "DefDBs\n/tmp/a.vxo\n"); }},
        {"a folder", [](const fs::path& p) { fs::create_directory(p); }},
        // Opening a FIFO for reading waits for a writer that never comes.
        {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PrefsRun run;
        if (c.make) c.make(run.preferences());
        const auto before = fs::symlink_status(run.preferences()).type();
        const std::string bytes = fs::is_regular_file(run.preferences()) ? readFile(run.preferences()) : "";

        run.application.checkPrefs();
        EXPECT_TRUE(run.application.databases.empty());
        EXPECT_TRUE(run.application.defDatabases.empty());
        EXPECT_EQ(run.console.refreshes, 0);

        run.application.defDatabases.emplace_back(run.catalog("a.vxo"));
        run.application.writePrefs(run.application.prefsFoit, true, false);
        EXPECT_EQ(fs::symlink_status(run.preferences()).type(), before);
        if (before == fs::file_type::regular) {
            EXPECT_EQ(readFile(run.preferences()), bytes);
        }
        EXPECT_TRUE(run.shown->messages.empty());
        EXPECT_EQ(run.shown->beeps, 0);
    }
}

TEST(PreferencesRead, LockedApplicationFolderMeansNoPreferencesAtAll) {
    PrefsRun run;
    const std::string a = run.catalog("a.vxo");
    const fs::path target = run.root() / "target";
    fs::create_directory(target);
    makeCatalog(target / "scanned.vxo");
    makePreferences(run.preferences(), {std::vector<std::string>{a}, target.string(), 1});
    const std::string bytes = readFile(run.preferences());
    qvtest::ImmutableGuard locked(run.folder.path());
    if (!locked.active()) GTEST_SKIP() << "chattr +i is not available here";

    run.application.checkPrefs();
    EXPECT_FALSE(run.application.prefsFoit);
    EXPECT_TRUE(run.application.databases.empty());
    EXPECT_TRUE(run.application.defDatabases.empty());
    EXPECT_FALSE(gfs::PPdbTarget);
    EXPECT_EQ(run.console.refreshes, 0);

    run.application.defDatabases.emplace_back(run.catalog("b.vxo"));
    run.application.writePrefs(run.application.prefsFoit, true, false);
    EXPECT_EQ(readFile(run.preferences()), bytes);
    EXPECT_TRUE(run.shown->messages.empty());
    EXPECT_EQ(run.shown->beeps, 0);
}

TEST(PreferencesWrite, DefaultsWhoseFilesWentAwayAreLeftOutAndOtherTablesStay) {
    PrefsRun run;
    const std::string a = run.catalog("a.vxo"), b = run.catalog("b.vxo"), c = run.catalog("c.vxo");
    makePreferences(run.preferences(), {std::vector<std::string>{a, b, c}, run.catalogs().string(), 0});
    run.application.checkPrefs();
    ASSERT_EQ(paths(run.application.defDatabases), (std::vector<std::string>{a, b, c}));
    fs::remove(b);

    run.application.writePrefs(run.application.prefsFoit, false, true);
    EXPECT_EQ(storedDefaults(run.preferences()), (std::vector<std::string>{a, b, c}));

    run.application.writePrefs(run.application.prefsFoit, true, false);
    EXPECT_EQ(storedDefaults(run.preferences()), (std::vector<std::string>{a, c}));
    EXPECT_EQ(SqliteFile(run.preferences()).column("SELECT path FROM dbTarget"),
              std::vector<std::string>{run.catalogs().string()});
    EXPECT_EQ(SqliteFile(run.preferences()).column("SELECT io FROM useDefDBs"), std::vector<std::string>{"0"});
    EXPECT_EQ(SqliteFile(run.preferences()).column("SELECT name FROM defFont"), std::vector<std::string>{"Geneva"});
    EXPECT_TRUE(run.shown->messages.empty());
    EXPECT_EQ(run.shown->beeps, 0);
}

TEST(PreferencesWrite, FailedWriteKeepsTheOldListAndTellsTheOperator) {
    const std::vector<std::string> old = {"/old/one.vxo", "/old/two.vxo"};
    const struct {
        const char* what;
        bool hasDefDBs;
        // Runs before the write on a connection of its own, which stays open during the write.
        const char* onOtherConnection;
    } cases[] = {
        // The server's write waits for the lock for about two seconds, then gives up.
        {"another connection holds the write lock", true, "BEGIN IMMEDIATE"},
        // The delete and the first insert have run when the second insert fails.
        {"the second insert is refused", true,
         "CREATE TRIGGER refuse BEFORE INSERT ON DefDBs WHEN NEW.paths LIKE '%/b.vxo' "
         "BEGIN SELECT RAISE(ABORT, 'refused'); END"},
        {"no DefDBs table", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PrefsRun run;
        Preferences p;
        if (c.hasDefDBs) p.defaults = old;
        makePreferences(run.preferences(), p);
        const auto tables = tableNames(run.preferences());
        run.application.defDatabases = {platform::FolderItem(run.catalog("a.vxo")),
                                        platform::FolderItem(run.catalog("b.vxo"))};
        {
            SqliteFile other(run.preferences());
            other.exec(c.onOtherConnection);
            run.application.writePrefs(platform::FolderItem(run.preferences().string()), true, false);
        }
        EXPECT_EQ(run.shown->beeps, 1);
        EXPECT_EQ(run.shown->messages, std::vector<std::string>{"writePrefs"});
        if (c.hasDefDBs) {
            EXPECT_EQ(storedDefaults(run.preferences()), old);
        }
        EXPECT_EQ(tableNames(run.preferences()), tables);
    }
}

TEST(PreferencesWrite, ExclusiveLockDuringQuitIsReported) {
    PrefsRun run;
    const std::vector<std::string> old = {"/old/one.vxo"};
    makePreferences(run.preferences(), {old, std::nullopt, std::nullopt});
    run.application.defDatabases = {platform::FolderItem(run.catalog("a.vxo"))};
    {
        SqliteFile other(run.preferences());
        other.exec("BEGIN EXCLUSIVE");
        run.application.writePrefs(platform::FolderItem(run.preferences().string()), true, false);
    }
    EXPECT_EQ(storedDefaults(run.preferences()), old);
    EXPECT_EQ(run.shown->beeps, 1);
    EXPECT_EQ(run.shown->messages, std::vector<std::string>{"writePrefs"});
}

}  // namespace
