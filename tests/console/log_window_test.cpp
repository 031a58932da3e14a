// The log window: lines appear as they were logged, a long run keeps the latest lines only, and
// the field keeps its margins as the window is resized.

#include "console_fixture.h"

#include <QPlainTextEdit>
#include <QTextDocument>

namespace {

using consoletest::waitFor;

TEST(LogWindow, ShowsPiecesExactlyAsLoggedBeginningWithALineEnd) {
    logswindow::release();
    logswindow& window = logswindow::instance();
    window.appendText("\n2026-03-05 07:08:09: first");
    window.appendText("\nLOG FILE ERROR - CANNOT WRITE LOG FILE !!!\n2026-03-05 07:08:10: second");
    EXPECT_EQ(window.text(), "\n2026-03-05 07:08:09: first\nLOG FILE ERROR - CANNOT WRITE LOG FILE !!!\n"
                             "2026-03-05 07:08:10: second");
    EXPECT_TRUE(window.EditField1().isReadOnly());
    logswindow::release();
}

TEST(LogWindow, ALongRunKeepsTheLatestLinesOnly) {
    logswindow::release();
    logswindow& window = logswindow::instance();
    for (int i = 0; i < 10500; ++i) window.appendText(QStringLiteral("\nline %1").arg(i));
    EXPECT_LE(window.EditField1().document()->blockCount(), 10000);
    EXPECT_TRUE(window.text().endsWith("\nline 10499"));
    EXPECT_FALSE(window.text().contains("line 0\n"));
    logswindow::release();
}

TEST(LogWindow, TheFieldKeepsItsMarginsAsTheWindowIsResized) {
    logswindow::release();
    logswindow& window = logswindow::instance();
    const auto field = [&window] { return window.EditField1().geometry(); };  // in the content area
    EXPECT_EQ(QSize(window.Width(), window.Height()), QSize(400, 450));
    EXPECT_TRUE(waitFor([&] { return field() == QRect(10, 10, 380, 430); })) << field().width();
    window.SetWidth(500);
    window.SetHeight(300);
    EXPECT_TRUE(waitFor([&] { return field() == QRect(10, 10, 480, 280); })) << field().width();
    logswindow::release();
}

}  // namespace
