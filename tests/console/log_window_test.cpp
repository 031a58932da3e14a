// The log window: lines appear as they were logged, very long ones cut with a mark; the text keeps
// the latest whole lines within 4 MiB and 10 000 lines; a flood is left out of the field, oldest
// first, rather than piling up; and each piece also goes, as shown, to the output the window
// echoes to, which a reader that stops reading never holds up.

#include "console_fixture.h"
#include "console/log_window.h"
#include "platform/line_writer.h"

#include <QPlainTextEdit>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace {

// "\nline 7 xxxx", `length` characters after its line end.
QString numbered(int i, int length) {
    const QString head = QStringLiteral("\nline %1 ").arg(i);
    return head + QString(length + 1 - head.size(), QLatin1Char('x'));
}

std::string readAll(int fd) {
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    return text;
}

// Each piece as the output gets it: without its leading line end, with one after it.
std::string asOutputLines(const QStringList& pieces) {
    std::string lines;
    for (const QString& piece : pieces) lines += piece.mid(1).toStdString() + "\n";
    return lines;
}

class LogWindow : public ::testing::Test {
 protected:
    void SetUp() override { logswindow::release(); }
    void TearDown() override {
        logswindow::echoTo(nullptr);
        logswindow::release();
    }
    static logswindow& window() { return logswindow::instance(); }
};

const QString kSmile = QString::fromUtf8("\xF0\x9F\x98\x80");  // two UTF-16 units
const struct {
    QString piece, shown;
} kPieces[] = {
    {"\n2026-03-05 07:08:09: first", "\n2026-03-05 07:08:09: first"},
    {"\nLOG FILE ERROR - CANNOT WRITE LOG FILE !!!\n2026-03-05 07:08:10: second",
     "\nLOG FILE ERROR - CANNOT WRITE LOG FILE !!!\n2026-03-05 07:08:10: second"},
    {"\n" + QString(500, 'a'), "\n" + QString(500, 'a')},
    {"\n" + QString(60000, 'b'), "\n" + QString(500, 'b') + " [... cut, 59500 more characters]"},
    // A label of line ends is cut like any other, not shown as 60 000 lines.
    {"\n" + QString(60000, '\n'), "\n" + QString(500, '\n') + " [... cut, 59500 more characters]"},
    // Never half a character.
    {"\n" + QString(499, 'c') + kSmile + QString(100, 'd'),
     "\n" + QString(499, 'c') + " [... cut, 102 more characters]"},
};

TEST_F(LogWindow, ShowsPiecesAsLoggedAndVeryLongLinesCutWithAMark) {
    QString expected;
    for (const auto& c : kPieces) {
        window().appendText(c.piece);
        expected += c.shown;
    }
    EXPECT_EQ(window().text(), expected);
    EXPECT_TRUE(window().EditField1().isReadOnly());
}

TEST_F(LogWindow, KeepsTheLatestWholeLinesWithin4MiBAnd10000Lines) {
    // Short lines meet the line bound first, long ones the size bound (two bytes a character).
    constexpr int kLogged = 12000;
    for (const int length : {20, 400}) {
        SCOPED_TRACE(length);
        logswindow::release();
        for (int i = 0; i < kLogged; ++i) {
            window().appendText(numbered(i, length));
            if (i % 300 == 299) window().text();  // shown as they come, so that none is left out
        }
        QString expected;
        for (int i = kLogged - 1, lines = 0; i >= 0 && lines < 10000; --i, ++lines) {
            const QString line = numbered(i, length).mid(1);
            if ((expected.size() + line.size() + 1) * 2 > 4 << 20) break;
            expected = expected.isEmpty() ? line : line + "\n" + expected;
        }
        const QString text = window().text();
        EXPECT_TRUE(text == expected) << "kept " << text.count('\n') + 1 << " lines, " << text.size() * 2
                                      << " bytes; expected " << expected.count('\n') + 1 << " lines, "
                                      << expected.size() * 2 << " bytes";
    }
}

TEST_F(LogWindow, AFloodIsLeftOutOfTheFieldOldestFirstAndCountedButEchoedWhole) {
    char name[] = "/tmp/quorvantel-echo-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::unlink(name);
    QStringList shown;
    {
        platform::LineWriter output(fd);
        logswindow::echoTo(&output);
        for (const auto& c : kPieces) {
            window().appendText(c.piece);
            shown.append(c.shown);
        }
        for (int i = 0; i < 3000; ++i) window().appendText(shown.emplace_back(numbered(i, 400)));
        logswindow::echoTo(nullptr);
        window().appendText("\nnot echoed");
    }
    ::lseek(fd, 0, SEEK_SET);
    EXPECT_TRUE(readAll(fd) == asOutputLines(shown));
    ::close(fd);

    shown.append("\nnot echoed");
    const QString text = window().text();
    const auto found = QRegularExpression(R"(^\n\[\.\.\. (\d+) log lines left out here: [^\n]*\])").match(text);
    ASSERT_TRUE(found.hasMatch()) << text.left(200).toStdString();
    const int leftOut = found.captured(1).toInt();
    EXPECT_GT(leftOut, 0);
    EXPECT_TRUE(text.mid(found.capturedLength()) == shown.mid(leftOut).join(""));
}

TEST_F(LogWindow, AnOutputNobodyReadsHoldsUpNothingAndLosesOnlyWhatItCannotHold) {
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    // More than the output holds (4 MiB) and the pipe takes: appending must return all the same.
    constexpr int kLogged = 12000;
    QStringList shown;
    std::string received;
    std::thread reader;
    {
        platform::LineWriter output(pipe[1]);
        logswindow::echoTo(&output);
        for (int i = 0; i < kLogged; ++i) window().appendText(shown.emplace_back(numbered(i, 500)));
        logswindow::echoTo(nullptr);
        reader = std::thread([&] { received = readAll(pipe[0]); });
    }  // the output writes what it kept, and then says how much it left out
    ::close(pipe[1]);
    reader.join();
    ::close(pipe[0]);
    const auto note = received.rfind("[... ");
    ASSERT_NE(note, std::string::npos) << "nothing was left out";
    const int leftOut = std::atoi(received.c_str() + note + 5);
    EXPECT_GT(leftOut, 0);
    EXPECT_TRUE(received.substr(note) ==
                "[... " + std::to_string(leftOut) + " lines left out: the output was not taking them]\n")
        << received.substr(note, 200);
    EXPECT_TRUE(received.substr(0, note) == asOutputLines(shown.mid(0, kLogged - leftOut)));
}

TEST_F(LogWindow, TheFieldKeepsItsMarginsAsTheWindowIsResized) {
    using consoletest::waitFor;
    const auto field = [] { return window().EditField1().geometry(); };  // in the content area
    EXPECT_EQ(QSize(window().Width(), window().Height()), QSize(400, 450));
    EXPECT_TRUE(waitFor([&] { return field() == QRect(10, 10, 380, 430); })) << field().width();
    window().SetWidth(500);
    window().SetHeight(300);
    EXPECT_TRUE(waitFor([&] { return field() == QRect(10, 10, 480, 280); })) << field().width();
}

}  // namespace
