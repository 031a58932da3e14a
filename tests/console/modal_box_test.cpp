// The settings fields and a lost default on an operator's desktop (run by with_window_manager.sh):
// each box is a real modal box, dismissed with the real mouse or Escape, and every key comes from
// the real keyboard through the X server (xdotool), in the order the desktop delivers it.

#include "console_fixture.h"
#include "platform/ui/widget_message_presenter.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QTimer>

namespace {

using namespace consoletest;

// Input through the X server, to whichever window has the keyboard or the pointer.
void xdotool(const QStringList& arguments) {
    EXPECT_EQ(QProcess::execute("xdotool", arguments), 0) << arguments.join(' ').toStdString();
}

// Notes each message box that opens and, once the window manager has given it the keyboard,
// dismisses it as the operator does: a click on its button, or Escape, and again a second later
// while it stays open, since the desktop may drop input that comes while it is still handing the
// box the keyboard. A box still open long after that is closed here and noted, so that a box
// nobody can dismiss fails the test instead of holding it.
class Operator final : public QObject {
 public:
    enum Dismissal { Click, Escape };

    explicit Operator(Dismissal dismissal) : dismissal_(dismissal) {
        connect(&look_, &QTimer::timeout, this, &Operator::look);
        look_.start(20);  // its timer runs inside the box's own event loop
    }

    Names boxes;

 private:
    void look() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        if (box != seen_) {
            seen_ = box;
            looks_ = 0;
        }
        if (++looks_ == 500) {
            boxes.push_back("(still open: " + box->text().toStdString() + ")");
            box->reject();
            return;
        }
        if (box == answered_ ? looks_ % 50 != 0 : !box->isActiveWindow()) return;
        if (box != answered_) boxes.push_back(box->text().toStdString());
        answered_ = box;
        if (dismissal_ == Escape) {
            xdotool({"key", "Escape"});
            return;
        }
        const QAbstractButton* button = box->buttons().front();
        const QPoint centre = button->mapToGlobal(button->rect().center());
        xdotool({"mousemove", QString::number(centre.x()), QString::number(centre.y()), "click", "1"});
    }

    Dismissal dismissal_;
    QTimer look_;
    QPointer<QMessageBox> seen_;
    QPointer<QMessageBox> answered_;
    int looks_ = 0;  // at the box seen last
};

TEST(ModalBoxOnTheDesktop, OnceItsBoxIsDismissedOnlyReturnCommitsAgain) {
    for (const Operator::Dismissal dismissal : {Operator::Click, Operator::Escape}) {
        ConsoleRun run;
        run.startServer(freePort());
        platform::setMessagePresenter(std::make_unique<platform::WidgetMessagePresenter>());
        dbswindow& w = run.console();
        const app& a = run.application;
        ASSERT_TRUE(run.settledAfterStart());
        Operator person(dismissal);
        const auto typeInto = [&w](platform::ui::EditField* field, const QStringList& keys, const char* shown) {
            field->focusTarget().setFocus();
            xdotool(QStringList{"key"} + keys);
            return waitFor([&] { return field->Text() == shown && w.isActiveWindow(); });
        };

        ASSERT_TRUE(typeInto(w.maxcons, {"End", "BackSpace", "BackSpace", "2", "0", "Return"}, "20")) << dismissal;
        ASSERT_TRUE(waitFor([&] { return person.boxes.size() == 1 && !QApplication::activeModalWidget(); }));
        EXPECT_EQ(a.PREFmaxconnections, 20) << dismissal;

        // Whatever key comes next, in another field or the same one, commits nothing.
        EXPECT_TRUE(typeInto(w.maxresultstotal, {"End", "BackSpace", "5"}, "2005")) << dismissal;
        EXPECT_TRUE(typeInto(w.maxcons, {"End", "BackSpace", "1"}, "21")) << dismissal;
        EXPECT_TRUE(typeInto(w.portik, {"End", "BackSpace"}, std::to_string(a.PREFportnumber / 10).c_str()));
        ASSERT_EQ(person.boxes, Names{"You changed number of maximum connections to 20"}) << dismissal;
        EXPECT_EQ((std::vector<int>{a.PREFmaxconnections, a.PREFmaxresultstotal}), (std::vector<int>{20, 2000}));

        // Return still commits, and only the field it is typed in.
        ASSERT_TRUE(typeInto(w.maxresultstotal, {"Return"}, "2005"));
        ASSERT_TRUE(waitFor([&] { return person.boxes.size() == 2 && !QApplication::activeModalWidget(); }));
        EXPECT_EQ(person.boxes.back(), "You changed limit of results to 2005");
        EXPECT_EQ((std::vector<int>{a.PREFmaxconnections, a.PREFmaxresultstotal}), (std::vector<int>{20, 2005}));
    }
}

// A default catalog that has gone is named in a box at each return to the console. Dismissing
// the box hands the console the keyboard back, which is no return: the box does not come again.
TEST(ModalBoxOnTheDesktop, ALostDefaultIsNamedOnceForEachReturnToTheConsole) {
    ConsoleRun run;
    run.startServer(freePort());
    dbswindow& w = run.console();
    ASSERT_TRUE(run.settledAfterStart());
    platform::setMessagePresenter(std::make_unique<platform::WidgetMessagePresenter>());
    run.application.defDatabases = {platform::FolderItem((run.root / "gone.vxo").string())};
    Operator person(Operator::Click);
    for (size_t returns = 1; returns <= 2; ++returns) {
        logswindow::instance().activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&logswindow::instance()));
        w.activateWindow();
        ASSERT_TRUE(waitFor([&] { return person.boxes.size() >= returns && !QApplication::activeModalWidget(); }));
        ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
        test_support::settle(std::chrono::milliseconds(1500));  // a box that came back would be open by now
        EXPECT_EQ(person.boxes, Names(returns, "gone.vxo"));
    }
}

}  // namespace
