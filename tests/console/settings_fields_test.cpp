// The settings fields of a console whose server listens on loopback: a committed port moves
// the listener, typed values are grey until committed, limits at or below 0 are refused, only
// Return or keypad Enter held down commits, and committed limits reach the listener and the
// next search.

#include "console_fixture.h"
#include "platform/server_socket.h"
#include "platform/ui_edit_field.h"
#include "search/catalog_maker.h"

#include <atomic>
#include <string>
#include <vector>

namespace {

using consoletest::Client;
using consoletest::ConsoleTest;
using consoletest::freePort;
using consoletest::listening;
using platform::ui::EditField;

const QColor kBlack(0, 0, 0);
const QColor kGrey(126, 126, 126);
const std::string kPing = "x]':'[vaxo-ping]':'[d]':'[l";

class SettingsFieldsTest : public ConsoleTest {
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
    std::string variable(const std::string& name, int value) const {
        return "<variable name=\"" + name + "\" value=\"" + std::to_string(value) + "\" />";
    }

    const quint16 port = freePort();
};

TEST_F(SettingsFieldsTest, AReturnInThePortFieldMovesTheListenerToThePortTyped) {
    const quint16 moved = freePort();
    EditField& field = *console().portik;
    type(field, std::to_string(moved));
    EXPECT_EQ(field.TextColor(), kGrey);
    EXPECT_TRUE(run.messages->empty()) << "typing alone commits nothing";
    EXPECT_TRUE(listening(port));

    QTest::keyClick(&field.focusTarget(), Qt::Key_Return);
    EXPECT_TRUE(listening(moved));
    EXPECT_FALSE(listening(port));
    EXPECT_EQ(field.TextColor(), kBlack);
    EXPECT_EQ(run.application.PREFportnumber, moved);
    EXPECT_NE(run.settingsFile().find(variable("port", moved)), std::string::npos);
    EXPECT_EQ(*run.messages, std::vector<std::string>{"You changed server port to " + std::to_string(moved)});

    // The same number written otherwise is grey, and a commit restarts on it as typed.
    type(field, "0" + std::to_string(moved));
    EXPECT_EQ(field.TextColor(), kGrey);
    QTest::keyClick(&field.focusTarget(), Qt::Key_Return);
    EXPECT_TRUE(listening(moved));
    EXPECT_EQ(run.messages->back(), "You changed server port to 0" + std::to_string(moved));
}

TEST_F(SettingsFieldsTest, ATextDifferentFromTheLiveValueIsGrey) {
    struct Case {
        EditField* field;
        std::string text;
        QColor colour;
    };
    dbswindow& window = console();
    const Case cases[] = {
        {window.portik, std::to_string(port), kBlack}, {window.portik, "", kGrey},
        {window.maxcons, "10", kBlack},                {window.maxcons, "010", kGrey},
        {window.maxcons, "10 ", kGrey},                {window.maxresultstotal, "2000", kBlack},
        {window.maxresultstotal, "2e3", kGrey},        {window.maxresultsdatabase, "500", kBlack},
        {window.maxresultsdatabase, "abc", kGrey},
    };
    for (const Case& c : cases) {
        type(*c.field, c.text);
        EXPECT_EQ(c.field->TextColor(), c.colour) << c.field->Name() << " '" << c.text << "'";
    }
}

TEST_F(SettingsFieldsTest, ALimitAboveZeroIsCommittedAndSaved) {
    struct Case {
        EditField* field;
        std::string text;
        std::atomic<int32_t>* setting;
        int value;
        const char* variable;
        const char* confirmation;
    };
    dbswindow& window = console();
    app& application = run.application;
    const Case cases[] = {
        {window.maxcons, "20", &application.PREFmaxconnections, 20, "limit_connections",
         "You changed number of maximum connections to "},
        {window.maxresultstotal, "1500", &application.PREFmaxresultstotal, 1500, "limit_results_total",
         "You changed limit of results to "},
        // One rule for every field: the text's number, truncated.
        {window.maxresultsdatabase, "2.9e2", &application.PREFmaxresultsdatabase, 290, "limit_results_database",
         "You changed limit of results per database to "},
    };
    for (const Case& c : cases) {
        run.messages->clear();
        commit(*c.field, c.text);
        EXPECT_EQ(c.setting->load(), c.value) << c.text;
        EXPECT_EQ(c.field->TextColor(), kBlack) << c.text;
        EXPECT_NE(run.settingsFile().find(variable(c.variable, c.value)), std::string::npos) << c.text;
        EXPECT_EQ(*run.messages, std::vector<std::string>{c.confirmation + c.text});
    }
    EXPECT_EQ(gfs::serverisko->MaximumSocketsConnected(), 20);
    EXPECT_TRUE(gfs::serverisko->IsListening()) << "a new connection limit does not restart the listener";
}

TEST_F(SettingsFieldsTest, ALimitOfZeroOrLessIsNotCommitted) {
    const std::string savedBefore = run.settingsFile();
    for (EditField* field : {console().maxcons, console().maxresultstotal, console().maxresultsdatabase}) {
        for (const char* text : {"0", "-5", "", "none"}) {
            commit(*field, text);
            EXPECT_EQ(field->TextColor(), kGrey) << field->Name() << " '" << text << "'";
        }
    }
    EXPECT_TRUE(run.messages->empty());
    EXPECT_EQ(run.settingsFile(), savedBefore);
    EXPECT_EQ(run.application.PREFmaxconnections, 10);
    EXPECT_EQ(run.application.PREFmaxresultstotal, 2000);
    EXPECT_EQ(run.application.PREFmaxresultsdatabase, 500);
    EXPECT_EQ(gfs::serverisko->MaximumSocketsConnected(), 10);
}

TEST_F(SettingsFieldsTest, CommitsWhileReturnOrKeypadEnterIsHeldWhateverKeyReachesTheField) {
    EditField& field = *console().maxresultsdatabase;
    type(field, "40");
    QTest::keyClick(&field.focusTarget(), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(run.application.PREFmaxresultsdatabase, 40);

    // Return held down elsewhere: the next key in the field commits the text it found there.
    type(field, "30");
    QWidget& elsewhere = console().datasList->focusTarget();
    QTest::keyPress(&elsewhere, Qt::Key_Return);
    QTest::keyClick(&field.focusTarget(), Qt::Key_5);
    QTest::keyRelease(&elsewhere, Qt::Key_Return);
    EXPECT_EQ(run.application.PREFmaxresultsdatabase, 30);
    QTest::keyClick(&field.focusTarget(), Qt::Key_0);
    EXPECT_EQ(field.Text(), "3050");
    EXPECT_EQ(run.application.PREFmaxresultsdatabase, 30) << "Return is up again";
    EXPECT_EQ(run.messages->size(), 2u);
}

TEST_F(SettingsFieldsTest, CommittedResultLimitsApplyToTheNextSearch) {
    qvcatalog::CatalogMaker maker;
    const std::string catalog = maker.make("five.vxo", qvcatalog::disksTable({}), qvcatalog::manyPaths(5));
    const auto records = [&catalog] {
        return qvcatalog::recordLines(qvcatalog::searchRequest({catalog}, "1=1").answer);
    };
    EXPECT_EQ(records().size(), 5u);

    commit(*console().maxresultsdatabase, "2");
    EXPECT_EQ(records().size(), 2u);

    commit(*console().maxresultstotal, "3");
    const auto overLimit = records();
    ASSERT_EQ(overLimit.size(), 1u);
    EXPECT_EQ(qvcatalog::attribute(overLimit[0], "name"), "OVER LIMIT 3");
}

TEST_F(SettingsFieldsTest, AConnectionLimitOfOneHoldsASecondClientBack) {
    commit(*console().maxcons, "1");
    Client first(port);
    ASSERT_TRUE(first.connected());
    first.send(kPing);
    EXPECT_NE(first.answer().find("vaxo-pong"), std::string::npos);

    Client second(port);
    ASSERT_TRUE(second.connected()) << "the system queues the connection";
    second.send(kPing);
    EXPECT_EQ(second.answerSoFar(), "");

    first.close();
    EXPECT_NE(second.answer().find("vaxo-pong"), std::string::npos);
}

}  // namespace
