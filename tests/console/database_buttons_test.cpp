// The add and remove buttons and files dropped on the console: the remove button's remembered
// row, the pictures under the pointer, and which drops register what.

#include "console/console_pictures.h"
#include "console_fixture.h"
#include "platform/ui_canvas.h"

#include <QMimeData>
#include <QUrl>
#include <sys/xattr.h>

#include <string>
#include <vector>

namespace {

using consoletest::ConsoleTest;
using platform::FolderItem;
using Names = std::vector<std::string>;

Names namesOf(const std::vector<FolderItem>& files) {
    Names names;
    for (const FolderItem& file : files) names.push_back(file.Name());
    return names;
}

class DatabaseButtonsTest : public ConsoleTest {
 protected:
    void click(platform::ui::Canvas* button) { QTest::mouseClick(button, Qt::LeftButton); }
    // Dragged over the console and dropped, as a file manager does.
    bool drop(const std::vector<std::string>& paths) {
        QMimeData data;
        QList<QUrl> urls;
        for (const std::string& path : paths) urls.push_back(QUrl::fromLocalFile(QString::fromStdString(path)));
        data.setUrls(urls);
        const QPointF at(175, 100);
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&console(), &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent dropped(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&console(), &dropped);
        return dropped.isAccepted();
    }
    std::string path(const std::string& name) { return run.folder.file(name).AbsolutePath(); }
};

TEST_F(DatabaseButtonsTest, TheRemoveButtonActsOnTheRowSelectedLast) {
    app& application = run.application;
    application.databases = {run.folder.file("alpha.vxo"), run.folder.file("charlie.vxo")};
    console().nichtsDBS = {run.folder.file("bravo.vxo")};
    application.defDatabases = {run.folder.file("alpha.vxo"), run.folder.file("bravo.vxo")};
    console().aktualizacia();

    // Before any selection: row 0, searched and default, leaves both lists.
    click(console().minusc);
    EXPECT_EQ(namesOf(application.databases), Names{"charlie.vxo"});
    EXPECT_EQ(namesOf(application.defDatabases), Names{"bravo.vxo"});

    consoletest::clickName(*console().datasList, 1);
    click(console().minusc);
    EXPECT_EQ(namesOf(application.databases), Names{});
    EXPECT_EQ(namesOf(application.defDatabases), Names{"bravo.vxo"}) << "charlie was no default";
    EXPECT_EQ(console().selectedOne, 1) << "kept across the rebuild";

    // Row 1 is gone now: nothing is removed, and the failure ends in a beep.
    click(console().minusc);
    EXPECT_EQ(*run.messages, Names{"(beep)"});
    EXPECT_EQ(console().datasList->ListCount(), 1);

    // An unsearched default database leaves the console's own list and the defaults.
    consoletest::clickName(*console().datasList, 0);
    click(console().minusc);
    EXPECT_TRUE(console().nichtsDBS.empty());
    EXPECT_TRUE(application.defDatabases.empty());
    EXPECT_EQ(console().datasList->ListCount(), 0);
}

TEST_F(DatabaseButtonsTest, ADefaultDatabaseInNeitherListOnlyLosesItsDefaultMark) {
    run.application.defDatabases = {run.folder.file("ghost.vxo")};
    console().nichtsDBS = {run.folder.file("kept.vxo")};
    console().aktualizacia();
    click(console().minusc);  // row 0, the ghost's: it has no index of its own
    EXPECT_TRUE(run.application.defDatabases.empty());
    EXPECT_EQ(namesOf(console().nichtsDBS), Names{"kept.vxo"});
}

TEST_F(DatabaseButtonsTest, AButtonShowsItsOtherPictureWhileThePointerIsOverIt) {
    struct Case {
        platform::ui::Canvas* button;
        platform::ui::Picture over, resting;
    };
    const Case cases[] = {
        {console().plusc, pictures::opendatabase(), pictures::opendatabasecopy()},
        {console().minusc, pictures::removedatabase(), pictures::removedatabasecopy()},
    };
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&console()));
    for (const Case& c : cases) {
        QTest::mouseMove(c.button, QPoint(20, 20));
        EXPECT_EQ(c.button->Backdrop(), c.over) << c.button->Name();
        QTest::mouseMove(&console(), QPoint(200, 250 + console().MenuBarHeight()));
        EXPECT_EQ(c.button->Backdrop(), c.resting) << c.button->Name() << " resting";
    }
}

TEST_F(DatabaseButtonsTest, ADropRegistersEveryFileWhenTheFirstIsACatalog) {
    struct Case {
        const char* what;
        Names dropped;
        Names registered;
    };
    std::filesystem::create_directory(run.folder.path() / "folder.vxo.d");
    const Case cases[] = {
        {"a catalog, then a text file", {"a.vxo", "notes.txt"}, {"a.vxo", "notes.txt"}},
        {"the ending in capitals", {"B.VXO"}, {"B.VXO"}},
        {"a text file first", {"notes.txt", "a.vxo"}, {}},
        {"a folder first", {"folder.vxo.d", "a.vxo"}, {}},
        {"a catalog registered already", {"a.vxo", "a.vxo"}, {"a.vxo"}},
    };
    for (const Case& c : cases) {
        run.application.databases.clear();
        console().aktualizacia();
        std::vector<std::string> paths;
        for (const std::string& name : c.dropped)
            paths.push_back(name.ends_with(".d") ? (run.folder.path() / name).string() : path(name));
        EXPECT_TRUE(drop(paths)) << c.what << ": the window takes any local file";
        EXPECT_EQ(namesOf(run.application.databases), c.registered) << c.what;
        EXPECT_EQ(console().datasList->ListCount(), static_cast<int>(c.registered.size())) << c.what;
    }
    EXPECT_FALSE(drop({})) << "no local file, no drop";
}

TEST_F(DatabaseButtonsTest, ADropIsKnownAsACatalogByTypeAndCreatorWhateverItsName) {
    const auto typed = [this](const std::string& name, const char* typeAndCreator) {
        const std::string file = path(name);
        char finderInfo[32] = {};
        std::copy_n(typeAndCreator, 8, finderInfo);
        return ::setxattr(file.c_str(), "user.com.apple.FinderInfo", finderInfo, sizeof finderInfo, 0) == 0 ? file : "";
    };
    const std::string catalog = typed("catalog.bin", "BINAVaxo");
    if (catalog.empty()) GTEST_SKIP() << "the temporary folder keeps no extended attributes";
    drop({typed("other.bin", "BINAxxxx")});
    EXPECT_TRUE(run.application.databases.empty());
    drop({catalog});
    EXPECT_EQ(namesOf(run.application.databases), Names{"catalog.bin"});
}

}  // namespace
