// The log window: lines appear as they were logged, and a long run keeps the latest lines only.

#include "console/log_window.h"

#include <QPlainTextEdit>
#include <QTextDocument>
#include <gtest/gtest.h>

namespace {

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

}  // namespace
