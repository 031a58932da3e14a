// The console of a server listening on loopback, seen from its clients: the settings fields
// (a committed port moves the listener, typed values are grey until committed, limits at or
// below 0 are refused, Return or keypad Enter commits, as does any key while one is held down,
// committed limits reach the listener and the next search), Edit > Cut in the fields, the
// Spotlight switch and the unsearched databases.

#include "console_fixture.h"
#include "search/catalog_maker.h"

#include <QClipboard>
#include <QMenu>
#include <QMenuBar>

namespace {

using namespace consoletest;
using platform::ui::EditField;

const QColor kBlack(0, 0, 0);
const QColor kGrey(126, 126, 126);

class ServingConsoleTest : public ConsoleTest {
 protected:
    void SetUp() override { run.startServer(port); }
    // What the operator types into a field emptied first.
    void type(EditField& field, const std::string& text) {
        field.SetText("");
        QTest::keyClicks(&field.focusTarget(), QString::fromStdString(text));
    }
    void commit(EditField& field, const std::string& text) {
        type(field, text);
        QTest::keyClick(&field.focusTarget(), Qt::Key_Return);
    }
    bool saved(const std::string& name, int value) const {
        const std::string line = "<variable name=\"" + name + "\" value=\"" + std::to_string(value) + "\" />";
        return run.settingsFile().find(line) != std::string::npos;
    }
    std::string ask(const char* command) {
        Client client(port);
        client.send(std::string("x]':'[") + command + "]':'[d]':'[l");
        return client.answer();
    }

    const quint16 port = freePort();
};

TEST_F(ServingConsoleTest, AReturnInThePortFieldMovesTheListenerToThePortTyped) {
    const quint16 moved = freePort();
    EditField& field = *console().portik;
    type(field, std::to_string(moved));
    EXPECT_EQ(field.TextColor(), kGrey);
    EXPECT_TRUE(run.messages->empty() && listening(port)) << "typing alone commits nothing";

    QTest::keyClick(&field.focusTarget(), Qt::Key_Return);
    EXPECT_TRUE(listening(moved));
    EXPECT_FALSE(listening(port));
    EXPECT_EQ(field.TextColor(), kBlack);
    EXPECT_TRUE(saved("port", moved));
    EXPECT_EQ(*run.messages, Names{"You changed server port to " + std::to_string(moved)});

    type(field, "0" + std::to_string(moved));  // the same number written otherwise
    EXPECT_EQ(field.TextColor(), kGrey);
}

TEST_F(ServingConsoleTest, ALimitAboveZeroIsCommittedAndSavedAndNoneAtOrBelowZeroIs) {
    dbswindow& w = console();
    app& a = run.application;
    const std::string before = run.settingsFile();
    for (EditField* field : {w.maxcons, w.maxresultstotal, w.maxresultsdatabase})
        for (const char* text : {"0", "-5", "none"}) {
            commit(*field, text);
            EXPECT_EQ(field->TextColor(), kGrey) << field->Name() << " " << text;
        }
    EXPECT_TRUE(run.messages->empty());
    EXPECT_EQ(run.settingsFile(), before);
    EXPECT_EQ((std::vector<int>{a.PREFmaxconnections, a.PREFmaxresultstotal, a.PREFmaxresultsdatabase}),
              (std::vector<int>{10, 2000, 500}));

    commit(*w.maxcons, "20");
    commit(*w.maxresultstotal, "1500");
    commit(*w.maxresultsdatabase, "2.9e2");  // one rule for every field: the text's number, truncated
    EXPECT_EQ((std::vector<int>{a.PREFmaxconnections, a.PREFmaxresultstotal, a.PREFmaxresultsdatabase}),
              (std::vector<int>{20, 1500, 290}));
    EXPECT_TRUE(saved("limit_connections", 20) && saved("limit_results_total", 1500) &&
                saved("limit_results_database", 290));
    EXPECT_EQ(*run.messages, (Names{"You changed number of maximum connections to 20",
                                    "You changed limit of results to 1500",
                                    "You changed limit of results per database to 2.9e2"}));
    EXPECT_EQ(w.maxcons->TextColor(), kBlack);
    EXPECT_EQ(gfs::serverisko->MaximumSocketsConnected(), 20);
}

TEST_F(ServingConsoleTest, CommitsOnReturnOrKeypadEnterOrAnyKeyWhileOneIsHeld) {
    EditField& field = *console().maxresultsdatabase;
    type(field, "40");
    QTest::keyClick(&field.focusTarget(), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(run.application.PREFmaxresultsdatabase, 40);

    // Keys as the desktop hands them to the window. Return or keypad Enter held down while the
    // list has the keyboard: the next key in the field commits the text it found there.
    QWindow* window = console().windowHandle();
    for (const auto& [held, modifier, limit] : {std::tuple{Qt::Key_Return, Qt::NoModifier, 30},
                                                std::tuple{Qt::Key_Enter, Qt::KeypadModifier, 31}}) {
        type(field, std::to_string(limit));
        console().datasList->setFocus();
        QTest::keyPress(window, held, modifier);
        field.focusTarget().setFocus();
        QTest::keyClick(window, Qt::Key_5);
        QTest::keyRelease(window, held, modifier);
        QTest::keyClick(window, Qt::Key_0);
        EXPECT_EQ(field.Text(), std::to_string(limit) + "50");
        EXPECT_EQ(run.application.PREFmaxresultsdatabase, limit) << held;
    }
}

// Edit > Cut takes the selected text of a field that can be written, and nothing of a read-only one.
TEST_F(ServingConsoleTest, EditCutLeavesAReadOnlyFieldAsItWas) {
    const auto cut = [this] {
        QMenu& edit = *console().menuBarWidget()->actions()[1]->menu();
        edit.actions()[0]->trigger();
    };
    dbswindow& w = console();
    w.ipcka->SetText("192.168.1.20");
    w.portik->SetText("7001");
    w.dataPath->SetText("/Volumes/Archive/disks.vxo");
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    for (EditField* field : {w.ipcka, w.dataPath, w.portik}) {
        field->focusTarget().setFocus();
        ASSERT_TRUE(waitFor([field] { return field->focusTarget().hasFocus(); }));
        const std::string before = field->Text();
        field->SetSelStart(0);
        field->SetSelLength(static_cast<int>(before.size()));
        QApplication::clipboard()->setText("earlier");
        cut();
        EXPECT_EQ(field->Text(), field->ReadOnly() ? before : "") << field->Name();
        if (!field->ReadOnly()) {
            EXPECT_EQ(QApplication::clipboard()->text().toStdString(), before);
        }
    }
}

TEST_F(ServingConsoleTest, CommittedResultLimitsApplyToTheNextSearch) {
    qvcatalog::CatalogMaker maker;
    const std::string catalog = maker.make("five.vxo", qvcatalog::disksTable({}), qvcatalog::manyPaths(5));
    const auto records = [&] { return qvcatalog::recordLines(qvcatalog::searchRequest({catalog}, "1=1").answer); };
    commit(*console().maxresultsdatabase, "2");
    EXPECT_EQ(records().size(), 2u);
    commit(*console().maxresultstotal, "3");
    const auto overLimit = records();
    ASSERT_EQ(overLimit.size(), 1u);
    EXPECT_EQ(qvcatalog::attribute(overLimit[0], "name"), "OVER LIMIT 3");
}

TEST_F(ServingConsoleTest, AConnectionLimitOfOneHoldsASecondClientBack) {
    commit(*console().maxcons, "1");
    Client first(port), second(port);
    ASSERT_TRUE(first.connected());
    first.send("x]':'[vaxo-ping]':'[d]':'[l");
    EXPECT_NE(first.answer().find("vaxo-pong"), std::string::npos);
    ASSERT_TRUE(second.connected()) << "the system queues the connection";
    second.send("x]':'[vaxo-ping]':'[d]':'[l");
    EXPECT_EQ(second.answerSoFar(), "");
    first.close();
    EXPECT_NE(second.answer().find("vaxo-pong"), std::string::npos);
}

TEST_F(ServingConsoleTest, IconAndBoxAgreeAndPongsFollowTheSwitchAtOnce) {
    dbswindow& window = console();
    const std::pair<bool, bool> clicks[] = {{true, true}, {true, false}, {false, true},
                                            {true, false}, {false, true}, {false, false}};
    for (const auto& [icon, on] : clicks) {  // on the icon or on the box, and the switch after it
        QTest::mouseClick(icon ? static_cast<QWidget*>(window.sptlgtcnv) : window.sptlgtchckbx, Qt::LeftButton);
        EXPECT_EQ(window.sptlgtchckbx->Value(), on) << icon;
        EXPECT_EQ(window.sptlgtcnv->Backdrop(), on ? pictures::spotlight_pic() : pictures::spotlight_picbw()) << icon;
        const std::string system = on ? "Mac OS X 10.4.11***::::***+spotlight" : "Mac OS X 10.4.11";
        EXPECT_NE(ask("vaxo-ping").find("system=\"" + system + "\""), std::string::npos) << icon << on;
    }
}

TEST_F(ServingConsoleTest, AnUnsearchedDatabaseLeavesTheListClientsGet) {
    run.application.databases = {run.file("alpha.vxo"), run.file("bravo.vxo")};
    console().aktualizacia();
    clickCheckBox(*console().datasList, 1, dbswindow::kSearchColumn);
    const std::string list = ask("vaxo-getlist");
    EXPECT_NE(list.find("name=\"alpha.vxo\""), std::string::npos) << list;
    EXPECT_EQ(list.find("bravo.vxo"), std::string::npos) << list;
}

}  // namespace
