// The Spotlight switch as the operator and the clients see it, and the console window's own
// events: the texts its Open handlers take from the constants, the fit to the screen, and the
// rebuild of the list whenever the window becomes active again.

#include "console/console_pictures.h"
#include "console_fixture.h"
#include "platform/ui_canvas.h"
#include "platform/ui_check_box.h"
#include "platform/ui_static_text.h"

#include <QTranslator>

#include <map>
#include <string>
#include <utility>

namespace {

using consoletest::Client;
using consoletest::ConsoleRun;
using consoletest::ConsoleTest;
using consoletest::ScopedEnv;

TEST(SpotlightSwitch, IconAndBoxAgreeAndPongsFollowTheSwitchAtOnce) {
    const ScopedEnv version("QUORVANTEL_SYSTEM_VERSION", "10.4.11");
    ConsoleRun run;
    const quint16 port = consoletest::freePort();
    run.startServer(port);
    dbswindow& window = run.console();

    const std::pair<const char*, bool> clicks[] = {{"icon", true}, {"icon", false}, {"box", true},
                                                   {"icon", false}, {"box", true},  {"box", false}};
    for (const auto& [where, on] : clicks) {
        if (std::string(where) == "icon")
            QTest::mouseClick(window.sptlgtcnv, Qt::LeftButton);
        else
            QTest::mouseClick(window.sptlgtchckbx, Qt::LeftButton);
        EXPECT_EQ(window.sptlgtchckbx->Value(), on) << where;
        EXPECT_EQ(window.sptlgtcnv->Backdrop(), on ? pictures::spotlight_pic() : pictures::spotlight_picbw()) << where;

        Client client(port);
        client.send("x]':'[vaxo-ping]':'[d]':'[l");
        const std::string system = on ? "Mac OS X 10.4.11***::::***+spotlight" : "Mac OS X 10.4.11";
        const std::string answer = client.answer();
        EXPECT_NE(answer.find("system=\"" + system + "\""), std::string::npos) << where << " " << on << answer;
    }
}

// Answers for the keys of the map only.
class MapTranslator final : public QTranslator {
 public:
    explicit MapTranslator(std::map<std::string, QString> texts) : texts_(std::move(texts)) {}
    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* source, const char*, int) const override {
        const auto it = texts_.find(std::string(context) + "." + source);
        return it == texts_.end() ? QString() : it->second;
    }

 private:
    std::map<std::string, QString> texts_;
};

TEST(ConsoleWindowOpen, TakesTitleLabelsAndHelpTagsFromTheConstants) {
    MapTranslator translator({{"dbswindow.win_tit_databases", "Datenbanken"},
                              {"dbswindow.st_myip", "Meine IP"},
                              {"dbswindow.st_port", "Anschluss"},
                              {"dbswindow.st_limitconnections", "Verbindungen"},
                              {"dbswindow.st_limittotalresuts", "Treffer insgesamt"},
                              {"dbswindow.st_limitdbresults", "Treffer je Datenbank"},
                              {"gfs.butt_opendbfile", "Datenbank öffnen"},
                              {"dbswindow.butt_removedbfile", "Datenbank entfernen"}});
    QCoreApplication::installTranslator(&translator);
    ConsoleRun run;
    const dbswindow& window = run.console();
    EXPECT_EQ(window.Title(), "Datenbanken");
    const std::pair<const platform::ui::StaticText*, const char*> labels[] = {
        {window.StaticText1, "Meine IP:"},        {window.StaticText2, "Anschluss:"},
        {window.StaticText3, "Verbindungen:"},    {window.StaticText4, "Treffer insgesamt:"},
        {window.StaticText5, "Treffer je Datenbank:"},
    };
    for (const auto& [label, text] : labels) EXPECT_EQ(label->Text(), text);
    EXPECT_EQ(window.plusc->HelpTag(), "Datenbank öffnen");
    EXPECT_EQ(window.minusc->HelpTag(), "Datenbank entfernen");
    QCoreApplication::removeTranslator(&translator);
}

TEST_F(ConsoleTest, AWindowTallerThanTheScreenIsShortenedWhereItStands) {
    struct Case {
        int top, height, screenBottom, fitted;
    };
    const Case cases[] = {{400, 450, 800, 400}, {400, 450, 900, 450}, {400, 450, 850, 450}, {10, 450, 300, 290}};
    dbswindow& window = console();
    for (const Case& c : cases) {
        window.SetTop(c.top);
        window.SetHeight(c.height);
        window.fitToScreen(c.screenBottom);
        EXPECT_EQ(window.Height(), c.fitted) << c.screenBottom;
        EXPECT_EQ(window.Top(), c.top) << "never moved";
        EXPECT_EQ(window.Width(), 350) << "never narrowed";
    }

    // The screen the window opens on.
    const int bottom = platform::ui::MainScreenAvailableBottom();
    ASSERT_GT(bottom, 300);
    window.SetTop(bottom - 300);
    window.SetHeight(450);
    window.Event_Open();
    EXPECT_EQ(window.Height(), 300);
}

TEST_F(ConsoleTest, ComingBackToTheConsoleRebuildsTheList) {
    dbswindow& window = console();
    logswindow& log = logswindow::instance();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    run.application.databases = {run.folder.file("alpha.vxo"), run.folder.file("bravo.vxo")};
    window.aktualizacia();
    consoletest::clickName(*window.datasList, 1);
    run.application.databases.push_back(run.folder.file("charlie.vxo"));
    EXPECT_EQ(window.datasList->ListCount(), 2) << "the list waits for a rebuild";

    log.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&log));
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    EXPECT_EQ(window.datasList->ListCount(), 3);
    EXPECT_EQ(window.datasList->ListIndex(), -1);
    EXPECT_EQ(window.selectedOne, 1);
}

}  // namespace
