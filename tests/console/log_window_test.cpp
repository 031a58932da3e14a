// The log window: lines appear as they were logged, and a long run keeps the latest lines only.

#include "console/log_window.h"

#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QTextDocument>

namespace {

struct FreshLogWindow {
    FreshLogWindow() { logswindow::release(); }
    ~FreshLogWindow() { logswindow::release(); }
};

TEST(LogWindow, ShowsPiecesExactlyAsLoggedBeginningWithALineEnd) {
    FreshLogWindow fresh;
    logswindow& window = logswindow::instance();
    window.appendText("\n2026-03-05 07:08:09: first");
    window.appendText("\nLOG FILE ERROR - CANNOT WRITE LOG FILE !!!\n2026-03-05 07:08:10: second");
    EXPECT_EQ(window.text(), "\n2026-03-05 07:08:09: first\nLOG FILE ERROR - CANNOT WRITE LOG FILE !!!\n"
                             "2026-03-05 07:08:10: second");
    EXPECT_TRUE(window.EditField1().isReadOnly());
}

TEST(LogWindow, ALongRunKeepsTheLatestLinesOnly) {
    FreshLogWindow fresh;
    logswindow& window = logswindow::instance();
    for (int i = 0; i < 10500; ++i) window.appendText(QStringLiteral("\nline %1").arg(i));
    const QString text = window.text();
    EXPECT_LE(window.EditField1().document()->blockCount(), 10000);
    EXPECT_TRUE(text.endsWith("\nline 10499"));
    EXPECT_FALSE(text.contains("line 0\n"));
}

}  // namespace
