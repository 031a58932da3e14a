// The registry of catalog databases: choosing a file in the open dialog, registering it for
// searching once per path, and unregistering it with or without its default entry.

#include "core/app.h"
#include "core/console_access.h"
#include "core/database_registry.h"
#include "core/file_types.h"
#include "platform/message_box.h"
#include "recording_fakes.h"
#include "test_folder.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = qvtest::fs;
using Paths = std::vector<std::string>;

using qvtest::RecordingPresenter;
using qvtest::Shown;
using DialogConsole = qvtest::RecordingConsole;

void makeCatalog(const fs::path& file) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (sqlite3_exec(db, "CREATE TABLE files(name TEXT, path TEXT)", nullptr, nullptr, nullptr) != SQLITE_OK)
        ADD_FAILURE() << "cannot make " << file;
    sqlite3_close(db);
}

Paths paths(const std::vector<platform::FolderItem>& items) {
    Paths texts;
    for (const auto& item : items) texts.push_back(item.AbsolutePath());
    return texts;
}

class RegistryRun {
 public:
    RegistryRun() {
        platform::setMessagePresenter(std::make_unique<RecordingPresenter>(shown));
        application.setConsole(&console);
        FileTypes::_Initialize();
    }
    ~RegistryRun() {
        application.setConsole(nullptr);
        FileTypes::release();
    }

    // Catalogs lie beside the application's folder, in a folder of their own.
    fs::path catalogs() const { return folder.path().parent_path() / "catalogs"; }
    std::string catalog(const std::string& name) const {
        fs::create_directories(catalogs());
        makeCatalog(catalogs() / name);
        return (catalogs() / name).string();
    }
    std::vector<platform::FolderItem> items(const Paths& texts) const {
        std::vector<platform::FolderItem> out;
        for (const auto& t : texts) out.emplace_back(t);
        return out;
    }

    qvtest::TestFolder folder;
    DialogConsole console;
    std::shared_ptr<Shown> shown = std::make_shared<Shown>();
    app application;
};

TEST(AddNewDatabase, RegistersAnExistingFileOncePerExactPath) {
    // "A", "a" (A in another letter case) and "B" exist; "gone" does not.
    const struct {
        const char* what;
        Paths searched, defaults;
        std::optional<std::string> added;
        bool refresh;
        Paths expected;
        int refreshes;
    } cases[] = {
        {"a new file with a refresh", {"A"}, {}, "B", true, {"A", "B"}, 1},
        {"a new file without a refresh", {"A"}, {}, "B", false, {"A", "B"}, 0},
        {"a missing file", {"A"}, {}, "gone", true, {"A"}, 0},
        {"no file at all", {"A"}, {}, std::nullopt, true, {"A"}, 0},
        {"the same path again", {"A", "B"}, {}, "A", true, {"A", "B"}, 0},
        {"a default that is not searched", {"B"}, {"A"}, "A", true, {"B", "A"}, 1},
        {"a path in another letter case", {"A"}, {}, "a", true, {"A", "a"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryRun run;
        const std::string upper = run.catalog("A.vxo"), lower = run.catalog("a.vxo"), b = run.catalog("b.vxo");
        const std::string gone = (run.catalogs() / "gone.vxo").string();
        const auto real = [&](const Paths& tokens) {
            Paths out;
            for (const auto& t : tokens) out.push_back(t == "A" ? upper : t == "a" ? lower : t == "B" ? b : gone);
            return out;
        };
        run.application.databases = run.items(real(c.searched));
        run.application.defDatabases = run.items(real(c.defaults));
        // A fresh folder item each time: the test is by path, not by object.
        std::optional<platform::FolderItem> added;
        if (c.added) added.emplace(real({*c.added}).front());

        gfs::addNewDatabase(added, c.refresh);
        EXPECT_EQ(paths(run.application.databases), real(c.expected));
        EXPECT_EQ(paths(run.application.defDatabases), real(c.defaults));
        EXPECT_EQ(run.console.refreshes, c.refreshes);
        EXPECT_TRUE(run.shown->messages.empty());
        EXPECT_EQ(run.shown->beeps, 0);
    }
}

TEST(RemoveDatabase, RemovesTheEntryAndOnlyTheFirstMatchingDefault) {
    const struct {
        const char* what;
        Paths searched, defaults;
        int index;
        bool alsoDefault;
        Paths searchedAfter, defaultsAfter;
        int refreshes;
    } cases[] = {
        {"with its default", {"/a", "/b", "/c"}, {"/b", "/c", "/b"}, 1, true, {"/a", "/c"}, {"/c", "/b"}, 1},
        {"keeping its default", {"/a", "/b", "/c"}, {"/b", "/c"}, 1, false, {"/a", "/c"}, {"/b", "/c"}, 1},
        {"without a default entry", {"/a", "/b"}, {"/a"}, 1, true, {"/a"}, {"/a"}, 1},
        {"the first entry", {"/a", "/b"}, {"/a", "/b"}, 0, true, {"/b"}, {"/b"}, 1},
        {"the only entry", {"/a"}, {}, 0, false, {}, {}, 1},
        {"an empty list", {}, {"/a"}, 0, true, {}, {"/a"}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryRun run;
        run.application.databases = run.items(c.searched);
        run.application.defDatabases = run.items(c.defaults);
        gfs::removeDatabase(c.index, c.alsoDefault);
        EXPECT_EQ(paths(run.application.databases), c.searchedAfter);
        EXPECT_EQ(paths(run.application.defDatabases), c.defaultsAfter);
        EXPECT_EQ(run.console.refreshes, c.refreshes);
    }
}

TEST(GetDatabaseFile, AsksForACatalogFileInTheMiddleOfTheScreen) {
    RegistryRun run;
    EXPECT_FALSE(gfs::getDatabaseFile());
    ASSERT_EQ(run.console.dialogs.size(), 1u);
    const OpenDialogRequest& asked = run.console.dialogs.front();
    EXPECT_EQ(asked.left, 332);
    EXPECT_EQ(asked.top, 204);
    EXPECT_EQ(asked.prompt, "Select database with the .vxo extension");
    EXPECT_EQ(asked.title, "Open database");
    EXPECT_EQ(asked.filter.Name, "Quorvantel database");
}

TEST(GetDatabaseFile, ReturnsOnlyAnExistingFileOutsideALockedFolder) {
    const struct {
        const char* what;
        const char* answer;  // "@": the catalogs folder; "~": the same, relative to the working folder; nullptr: cancelled
        bool lockFolder;
        bool found;
    } cases[] = {
        {"an existing file", "@/a.vxo", false, true},
        {"cancelled", nullptr, false, false},
        {"a missing file", "@/gone.vxo", false, false},
        {"a relative path to an existing file", "~/a.vxo", false, false},
        {"a file in a locked folder", "@/a.vxo", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryRun run;
        run.catalog("a.vxo");
        if (c.answer) {
            std::string answer = c.answer;
            if (answer.front() == '@') answer.replace(0, 1, run.catalogs().string());
            if (answer.front() == '~') answer.replace(0, 1, fs::relative(run.catalogs(), fs::current_path()).string());
            run.console.answer = answer;
        }
        std::optional<qvtest::ImmutableGuard> locked;
        if (c.lockFolder && !locked.emplace(run.catalogs()).active()) GTEST_SKIP() << "chattr +i is not available here";

        const auto chosen = gfs::getDatabaseFile();
        ASSERT_EQ(chosen.has_value(), c.found);
        if (chosen) {
            EXPECT_EQ(chosen->AbsolutePath(), *run.console.answer);
        }
        EXPECT_TRUE(run.shown->messages.empty());
    }
}

TEST(FileOpenDatabaseMenu, RegistersTheChosenFileWithARefresh) {
    RegistryRun run;
    const std::string a = run.catalog("a.vxo"), b = run.catalog("b.vxo");
    run.application.databases = run.items({a});

    run.console.answer = b;
    EXPECT_FALSE(run.application._FileOpenDatabaseMenu_Action());
    EXPECT_EQ(paths(run.application.databases), (Paths{a, b}));
    EXPECT_EQ(run.console.refreshes, 1);

    // Chosen again: a duplicate; cancelled: nothing.
    EXPECT_FALSE(run.application._FileOpenDatabaseMenu_Action());
    run.console.answer.reset();
    EXPECT_FALSE(run.application._FileOpenDatabaseMenu_Action());
    EXPECT_EQ(paths(run.application.databases), (Paths{a, b}));
    EXPECT_EQ(run.console.refreshes, 1);
    EXPECT_EQ(run.console.dialogs.size(), 3u);
    EXPECT_TRUE(run.application.defDatabases.empty());
}

}  // namespace
