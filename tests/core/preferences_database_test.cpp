// The preferences database beside the application's folder (default databases read at start-up,
// the catalog folder scanned when asked, the list written back at quit) and the registry of
// catalog databases. Every file is a real SQLite file that the test makes itself.

#include "core/database_registry.h"
#include "core_fixture.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <regex>

namespace {

using namespace qvtest;

// The rows of DefDBs, dbTarget and useDefDBs; none, nullptr or -1: no such table.
void makePreferences(const fs::path& file, const std::optional<Strings>& defaults, const char* target = nullptr, int io = -1) {
    Sql db(file);
    db("CREATE TABLE defFont(name TEXT); INSERT INTO defFont VALUES ('Geneva')");
    if (defaults) db("CREATE TABLE DefDBs(paths TEXT)");
    for (const auto& path : defaults.value_or(Strings{})) db("INSERT INTO DefDBs VALUES ('" + path + "')");
    if (target) db("CREATE TABLE dbTarget(path TEXT); INSERT INTO dbTarget VALUES ('" + std::string(target) + "')");
    if (io >= 0) db("CREATE TABLE useDefDBs(io INTEGER); INSERT INTO useDefDBs VALUES (" + std::to_string(io) + ")");
}

Strings stored(const fs::path& file) { return Sql(file)("SELECT paths FROM DefDBs ORDER BY rowid"); }

Strings paths(const std::vector<platform::FolderItem>& items) {
    Strings texts;
    for (const auto& item : items) texts.push_back(item.AbsolutePath());
    return texts;
}
std::vector<platform::FolderItem> items(const Strings& texts) { return {texts.begin(), texts.end()}; }

const std::string kBrokenList = "Some of your database files were renamed, moved or deleted and Quorvantel cannot find "
                                "them. The list of default databases will be deleted.";

TEST(PreferencesRead, BrokenDefaultListKeepsTheRowsBeforeItAndIsEmptiedOnDisk) {
    const struct {
        Strings rows, registered;  // "A" and "B" exist; "gone" was deleted before the start
        bool broken;
    } cases[] = {
        {{"A", "gone"}, {"A"}, true},
        {{"", "A"}, {}, true},
        {{"A", "A", "B"}, {"A"}, true},
        {{"A", "B", "A"}, {"A", "B", "A"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.rows));
        CoreRun run;
        const std::map<std::string, std::string> to = {
            {"", ""}, {"A", run.catalog("a.vxo")}, {"B", run.catalog("b.vxo")}, {"gone", run.catalog("gone.vxo")}};
        fs::remove(to.at("gone"));
        const auto real = [&to](Strings names) {
            for (auto& name : names) name = to.at(name);
            return names;
        };
        makePreferences(run.preferences(), real(c.rows));

        run.application.checkPrefs();
        EXPECT_EQ(run.application.prefsFoit.value_or(platform::FolderItem("/")).AbsolutePath(), run.preferences());
        EXPECT_EQ(paths(run.application.databases), real(c.registered));
        EXPECT_EQ(paths(run.application.defDatabases), real(c.registered));
        EXPECT_EQ(*run.shown, c.broken ? Strings{kBrokenList} : Strings{});
        EXPECT_EQ(run.console.calls, Strings{});
        run.application.writePrefs(run.application.prefsFoit, false, true);
        EXPECT_EQ(stored(run.preferences()), c.broken ? Strings{} : real(c.rows));

        // At quit a default whose file went away is left out; the other tables stay.
        fs::remove(to.at("B"));
        run.application.writePrefs(run.application.prefsFoit, true, false);
        Strings kept = real(c.registered);
        std::erase(kept, to.at("B"));
        EXPECT_EQ(stored(run.preferences()), kept);
        EXPECT_EQ(Sql(run.preferences())("SELECT name FROM defFont"), Strings{"Geneva"});
    }
}

TEST(PreferencesRead, TargetFolderIsScannedOnlyWhenSwitchedOnAndMissingTablesAreSkipped) {
    const struct {
        bool listsB;
        const char* target;  // "T": the folder with a.VXO, b.vxo, c.txt and the sub-folder d.vxo
        int io;
        Strings searched;
    } cases[] = {
        {false, "T", 1, {"a.VXO", "b.vxo"}}, {true, "T", 1, {"b.vxo", "a.VXO"}}, {true, "T", 0, {"b.vxo"}},
        {true, "T", 2, {"b.vxo"}},           {true, "T", -1, {"b.vxo"}},         {true, nullptr, 1, {"b.vxo"}},
        {false, "/no/such/parent/x", 1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        CoreRun run;
        const fs::path target = run.root / "target";
        fs::create_directories(target / "d.vxo");
        for (const char* name : {"a.VXO", "b.vxo", "c.txt", "d.vxo/inner.vxo"}) makeCatalog(target / name);
        const Strings defaults = c.listsB ? Strings{(target / "b.vxo").string()} : Strings{};
        const bool toTarget = c.target && c.target == std::string_view("T");
        makePreferences(run.preferences(), c.listsB ? std::optional(defaults) : std::nullopt,
                        toTarget ? target.c_str() : c.target, c.io);

        run.application.checkPrefs();
        Strings searched;
        for (const auto& item : run.application.databases) searched.push_back(item.Name());
        EXPECT_EQ(searched, c.searched);
        // Found by the scan means searched only, never default.
        EXPECT_EQ(paths(run.application.defDatabases), defaults);
        EXPECT_EQ(run.console.count("aktualizacia"), toTarget && c.io == 1 ? 1 : 0);
        EXPECT_EQ(gfs::PPdbTarget ? gfs::PPdbTarget->AbsolutePath() : "", toTarget ? target.string() : "");
        EXPECT_EQ(*run.shown, Strings{});
    }
}

TEST(PreferencesRead, ListThatCannotBeReadNowIsReportedSoonAndNeverReplacedAtQuit) {
    const struct {
        const char* name;
        std::string atStart;  // SQL of another program on a file whose DefDBs lists A; "A" stands for its path
        const char* beforeQuit;
        bool registersA, reported;
    } cases[] = {
        {"sound", "", "", true, false},
        {"held by another program", "BEGIN EXCLUSIVE", "", false, true},
        {"an endless view",
         "ALTER TABLE DefDBs RENAME TO kept; CREATE VIEW DefDBs(paths) AS WITH RECURSIVE n(i) AS "
         "(SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT '/x' || i FROM n", "", false, true},
        {"a view of a table that is gone", "DROP TABLE DefDBs; CREATE VIEW DefDBs(paths) AS SELECT x FROM gone", "",
         false, true},
        // Counted whole, then read in part: what came before the failure stays registered only.
        {"a list that fails at its second row",
         "DROP TABLE DefDBs; CREATE TABLE n(i); INSERT INTO n VALUES (1), (2); CREATE VIEW DefDBs(paths) AS "
         "SELECT CASE i WHEN 1 THEN 'A' ELSE abs(-9223372036854775807 - (i - 1)) END FROM n", "",
         true, true},
        {"a journal that is a FIFO", "<fifo>", "", false, true},
        // No list at start is no list left unread: one the catalog application makes meanwhile is written.
        {"no list table", "DROP TABLE DefDBs", "CREATE TABLE DefDBs(paths TEXT); INSERT INTO DefDBs VALUES ('/x.vxo')",
         false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CoreRun run;
        const std::string a = run.catalog("a.vxo"), b = run.catalog("b.vxo");
        makePreferences(run.preferences(), Strings{a});
        const fs::path journal = run.preferences().string() + "-journal";
        std::optional<Sql> other(std::in_place, run.preferences());
        if (c.atStart == "<fifo>") { ASSERT_EQ(::mkfifo(journal.c_str(), 0644), 0); }
        else if (!c.atStart.empty()) { (*other)(std::regex_replace(c.atStart, std::regex("'A'"), "'" + a + "'")); }

        const auto started = std::chrono::steady_clock::now();
        run.application.checkPrefs();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        EXPECT_EQ(paths(run.application.databases), c.registersA ? Strings{a} : Strings{});
        EXPECT_EQ(*run.shown, c.reported ? (Strings{"<beep>", "readPrefs"}) : Strings{});

        // By quit the file can be read and written again; a write would store b.
        other.reset();
        fs::remove(journal);
        if (*c.beforeQuit) Sql(run.preferences())(c.beforeQuit);
        const std::string bytes = readFile(run.preferences());
        run.application.defDatabases = items({b});
        run.application.writePrefs(run.application.prefsFoit, true, false);
        if (!c.reported) { EXPECT_EQ(stored(run.preferences()), Strings{b}); }
        else { EXPECT_EQ(readFile(run.preferences()), bytes); }
        EXPECT_EQ(run.shown->size(), c.reported ? 2U : 0U);
    }
}

// Opens of one folder as the kernel counts them; each listing opens it once.
class FolderOpens {
 public:
    explicit FolderOpens(const fs::path& folder) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        // Closes are watched too, so that no two opens in a row merge into one event.
        watching_ = fd_ >= 0 && ::inotify_add_watch(fd_, folder.c_str(), IN_OPEN | IN_CLOSE_NOWRITE) >= 0;
    }
    ~FolderOpens() { if (fd_ >= 0) ::close(fd_); }
    bool watching() const { return watching_; }
    int count() {
        int opens = 0;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;)
            for (char* at = buffer; at < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                opens += (event->mask & IN_OPEN) && event->len == 0;  // the folder itself, not an entry
                at += sizeof(inotify_event) + event->len;
            }
        return opens;
    }

 private:
    int fd_;
    bool watching_ = false;
};

TEST(PreferencesRead, TargetFolderIsListedOnceAndEachCatalogRegisteredOnce) {
    CoreRun run;
    const fs::path target = run.root / "target";
    fs::create_directories(target / "sub.vxo");
    Strings catalogs;  // in name order
    for (int i = 1; i <= 500; ++i) {
        const std::string name = "c" + std::to_string(1000 + i) + (i % 5 == 0 ? ".txt" : i % 2 ? ".VXO" : ".vxo");
        writeFile(target / name, "");
        if (i % 5) catalogs.push_back((target / name).string());
    }
    // A default is registered before the scan, and not again by it.
    Strings expected = {catalogs[7]};
    std::copy_if(catalogs.begin(), catalogs.end(), std::back_inserter(expected), [&](auto& p) { return p != catalogs[7]; });
    makePreferences(run.preferences(), Strings{catalogs[7]}, target.c_str(), 1);
    FolderOpens opens(target);
    if (!opens.watching()) GTEST_SKIP() << "inotify is not available here";

    run.application.checkPrefs();
    EXPECT_EQ(opens.count(), 1);
    EXPECT_EQ(paths(run.application.databases), expected);
    EXPECT_EQ(run.console.calls, Strings{"aktualizacia"});
    EXPECT_EQ(*run.shown, Strings{});
}

TEST(PreferencesRead, FilesThatAreNoDatabaseOrLieBesideALockedFolderAreNeitherReadNorWritten) {
    bool lockable = true;
    const std::function<void(CoreRun&)> makes[] = {
        [](CoreRun&) {},
        [](CoreRun& run) { writeFile(run.preferences(), "DefDBs\n/tmp/a.vxo\n"); },
        [](CoreRun& run) { fs::create_directory(run.preferences()); },
        // Opening a FIFO for reading waits for a writer that never comes.
        [](CoreRun& run) { ASSERT_EQ(::mkfifo(run.preferences().c_str(), 0644), 0); },
        [&lockable](CoreRun& run) {
            makePreferences(run.preferences(), Strings{run.catalog("a.vxo")}, (run.root / "catalogs").c_str(), 1);
            lockable = run.lock(run.folder());
        },
    };
    for (const auto& make : makes) {
        SCOPED_TRACE(&make - makes);
        CoreRun run;
        make(run);
        if (!lockable) GTEST_SKIP() << "chattr +i is not available here";
        const auto type = fs::symlink_status(run.preferences()).type();
        const std::string bytes = type == fs::file_type::regular ? readFile(run.preferences()) : "";
        run.application.checkPrefs();
        EXPECT_TRUE(run.application.databases.empty());
        run.application.defDatabases = items({run.catalog("b.vxo")});
        run.application.writePrefs(run.application.prefsFoit, true, false);
        EXPECT_EQ(fs::symlink_status(run.preferences()).type(), type);
        EXPECT_EQ(type == fs::file_type::regular ? readFile(run.preferences()) : "", bytes);
        EXPECT_EQ(*run.shown, Strings{});
    }
}

TEST(PreferencesWrite, RealFailuresKeepTheOldListAndTellTheOperatorAMissingTableDoesNot) {
    const Strings old = {"/old/one.vxo", "/old/two.vxo"};
    const struct {
        const char* onOtherConnection;  // run on a connection of its own that stays open during the write
        bool hasDefDBs, reported;
        Strings tables;
    } cases[] = {
        // A database locked by another process still connects; the write gives up after its wait.
        {"BEGIN EXCLUSIVE", true, true, {"DefDBs", "defFont"}},
        // The delete and the first insert have run when the second insert fails.
        {"CREATE TRIGGER refuse BEFORE INSERT ON DefDBs WHEN NEW.paths LIKE '%/b.vxo' "
         "BEGIN SELECT RAISE(ABORT, 'refused'); END",
         true, true, {"DefDBs", "defFont"}},
        {"", false, false, {"defFont"}},
        // Table names match in any case, as in the statements.
        {"ALTER TABLE DefDBs RENAME TO renamed; ALTER TABLE renamed RENAME TO DEFDBS", true, false, {"DEFDBS", "defFont"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::tuple(c.onOtherConnection, c.hasDefDBs)));
        CoreRun run;
        makePreferences(run.preferences(), c.hasDefDBs ? std::optional(old) : std::nullopt);
        const Strings written = {run.catalog("a.vxo"), run.catalog("b.vxo")};
        run.application.defDatabases = items(written);
        const std::string bytes = c.hasDefDBs ? "" : readFile(run.preferences());
        {
            Sql other(run.preferences());
            other(c.onOtherConnection);
            run.application.writePrefs(platform::FolderItem(run.preferences().string()), true, false);
        }
        EXPECT_EQ(*run.shown, (c.reported ? Strings{"<beep>", "writePrefs"} : Strings{}));
        EXPECT_EQ(Sql(run.preferences())("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"), c.tables);
        if (c.hasDefDBs) { EXPECT_EQ(stored(run.preferences()), c.reported ? old : written); }
        else { EXPECT_EQ(readFile(run.preferences()), bytes); }
    }
}

TEST(Registry, AddsAnExistingFileOncePerExactPathRemovesOneEntryAndRefreshesWhenAsked) {
    CoreRun run;
    const std::string upper = run.catalog("A.vxo"), lower = run.catalog("a.vxo"), b = run.catalog("b.vxo");
    run.application.defDatabases = items({b});
    // A fresh folder item each time: registered is by path, not by object.
    const auto add = [](const std::string& path, bool refresh) { gfs::addNewDatabase(platform::FolderItem(path), refresh); };
    add(upper, false);
    gfs::addNewDatabase(std::nullopt, true);
    add(upper + ".gone", true);
    add(upper, true);
    EXPECT_EQ(run.console.count("aktualizacia"), 0);
    add(b, true);  // a default that is not searched yet
    add(lower, true);
    EXPECT_EQ(paths(run.application.databases), (Strings{upper, b, lower}));
    EXPECT_EQ(run.console.count("aktualizacia"), 2);

    // Only the first default of the same path goes, and only when asked.
    run.application.defDatabases = items({lower, b, lower});
    gfs::removeDatabase(2, true);
    gfs::removeDatabase(1, false);
    EXPECT_EQ(paths(run.application.databases), Strings{upper});
    EXPECT_EQ(paths(run.application.defDatabases), (Strings{b, lower}));
    run.application.databases.clear();
    gfs::removeDatabase(0, true);
    EXPECT_EQ(run.console.count("aktualizacia"), 4);
    EXPECT_EQ(*run.shown, Strings{});
}

TEST(Registry, OpenDialogMidScreenGivesOnlyAnExistingAbsoluteFileOutsideALockedFolder) {
    CoreRun run;
    const std::string a = run.catalog("a.vxo");
    const std::pair<std::optional<std::string>, bool> answers[] = {
        {a, true}, {std::nullopt, false}, {a + ".gone", false}, {fs::relative(a).string(), false}};
    for (const auto& [answer, found] : answers) {
        run.console.answer = answer;
        const auto chosen = gfs::getDatabaseFile();
        EXPECT_EQ(chosen ? chosen->AbsolutePath() : "", found ? *answer : "") << answer.value_or("cancelled");
    }
    const OpenDialogRequest& asked = *run.console.asked;
    EXPECT_EQ(std::tie(asked.left, asked.top, asked.prompt, asked.title, asked.filter.Name),
              std::tuple(332, 204, "Select database with the .vxo extension", "Open database", "Quorvantel database"));

    // Chosen twice through the menu: registered once, with one refresh, and not as a default.
    run.console.answer = a;
    EXPECT_FALSE(run.application._FileOpenDatabaseMenu_Action());
    EXPECT_FALSE(run.application._FileOpenDatabaseMenu_Action());
    EXPECT_EQ(paths(run.application.databases), Strings{a});
    EXPECT_EQ(run.console.calls, Strings{"aktualizacia"});
    EXPECT_TRUE(run.application.defDatabases.empty());

    if (!run.lock(run.root / "catalogs")) GTEST_SKIP() << "chattr +i is not available here";
    EXPECT_FALSE(gfs::getDatabaseFile());
}

}  // namespace
