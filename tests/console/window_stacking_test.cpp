// The log window on an operator's desktop (run by with_window_manager.sh): the window manager keeps
// it above the console whatever the operator clicks, as the stacking order on the root window
// shows, and its own hints ask for no maximise box while it keeps its resize, minimise and close.

#include "console_fixture.h"

#include <QProcess>
#include <QRegularExpression>

#include <algorithm>

namespace {

using namespace consoletest;
using test_support::settle;

QString xprop(const QStringList& arguments) {
    QProcess process;
    process.start("xprop", arguments);
    EXPECT_TRUE(process.waitForFinished(10000)) << arguments.join(' ').toStdString();
    return QString::fromUtf8(process.readAllStandardOutput());
}

// The numbers of a property line such as "NAME(TYPE) = 0x3, 0x2e" or "... window id # 0x4, 0x6".
std::vector<qulonglong> numbersOf(const QString& line) {
    std::vector<qulonglong> numbers;
    const QString values = line.section(QRegularExpression("[=#]"), -1);
    for (const auto& match : QRegularExpression("0x[0-9a-f]+|\\d+").globalMatch(values))
        numbers.push_back(match.captured().toULongLong(nullptr, 0));
    return numbers;
}

// The managed windows from the bottom of the stack to its top.
std::vector<qulonglong> stacking() { return numbersOf(xprop({"-root", "_NET_CLIENT_LIST_STACKING"})); }

void clickAt(const QPoint& point) {
    EXPECT_EQ(QProcess::execute("xdotool", {"mousemove", QString::number(point.x()), QString::number(point.y()),
                                            "click", "1"}),
              0);
}

// What the window's Motif hints grant: ALL in a field grants everything but what it lists.
struct Granted {
    bool resize, minimise, maximise, close, maximiseBox, minimiseBox;
};
Granted grantedBy(QWidget& window) {
    const auto hints = numbersOf(xprop({"-id", QString::number(window.winId()), "_MOTIF_WM_HINTS"}));
    EXPECT_GE(hints.size(), 3u);
    if (hints.size() < 3) return {};
    const auto has = [](bool given, qulonglong field, qulonglong bit) {
        if (!given) return true;  // the field is not given: the window manager decides
        return (field & 1) ? !(field & bit) : (field & bit) != 0;
    };
    const qulonglong flags = hints[0], functions = hints[1], decorations = hints[2];
    const bool f = flags & 1, d = flags & 2;
    return {has(f, functions, 0x2), has(f, functions, 0x8), has(f, functions, 0x10), has(f, functions, 0x20),
            has(d, decorations, 0x40), has(d, decorations, 0x20)};
}

TEST(WindowsOnTheDesktop, TheLogWindowStaysAboveTheConsoleWhicheverIsClicked) {
    using Lead = void (*)(ConsoleRun&);
    const struct {
        const char* name;
        Lead lead;  // what the operator does before clicking the console
    } cases[] = {
        {"the console clicked at once", [](ConsoleRun&) {}},
        {"the log window clicked first",
         [](ConsoleRun&) {
             // Its part beside the console, which the console never covers.
             logswindow& log = logswindow::instance();
             clickAt(log.contentArea().mapToGlobal(QPoint(log.Width() - 20, log.Height() / 2)));
             ASSERT_TRUE(waitFor([&log] { return log.isActiveWindow(); }));
         }},
        {"the log window closed and brought back by the menu",
         [](ConsoleRun& run) {
             logswindow::instance().close();
             ASSERT_TRUE(waitFor([] { return !logswindow::instance().isVisible(); }));
             run.application._FileShowlogwindow_Action();
             ASSERT_TRUE(waitFor([] { return logswindow::instance().isVisible(); }));
         }},
        {"the application activated again", [](ConsoleRun& run) { run.application.Event_Activate(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ConsoleRun run;
        run.startServer(freePort());
        ASSERT_TRUE(run.settledAfterStart());
        dbswindow& console = run.console();
        logswindow& log = logswindow::instance();
        // The log window over the console's right part; the console's left edge stays clear.
        const QRect frame = console.Frame();
        log.MoveFrame(frame.left() + 120, frame.top() + 30);
        ASSERT_TRUE(waitFor([&] { return log.Frame().topLeft() == frame.topLeft() + QPoint(120, 30); }));
        c.lead(run);
        if (HasFatalFailure()) return;
        settle();

        clickAt(console.contentArea().mapToGlobal(QPoint(8, console.Height() - 8)));
        ASSERT_TRUE(waitFor([&console] { return console.isActiveWindow(); }));
        settle();
        const std::vector<qulonglong> order = stacking();
        const auto at = [&order](QWidget& w) { return std::find(order.begin(), order.end(), w.winId()) - order.begin(); };
        ASSERT_LT(at(console), static_cast<long>(order.size()));
        EXPECT_GT(at(log), at(console)) << xprop({"-root", "_NET_CLIENT_LIST_STACKING"}).toStdString();
    }
}

// The console beside it shows that the hints are read: it asks for a maximise box.
TEST(WindowsOnTheDesktop, TheLogWindowAsksForNoMaximiseBoxAndKeepsItsOtherBoxes) {
    ConsoleRun run;
    run.startServer(freePort());
    ASSERT_TRUE(run.settledAfterStart());
    const struct {
        const char* name;
        QWidget& window;
        bool maximise;
    } cases[] = {{"log window", logswindow::instance(), false}, {"console", run.console(), true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Granted g = grantedBy(c.window);
        EXPECT_EQ(g.maximise, c.maximise);
        EXPECT_EQ(g.maximiseBox, c.maximise);
        EXPECT_TRUE(g.resize && g.minimise && g.close && g.minimiseBox);
    }
}

}  // namespace
