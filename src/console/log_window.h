#pragma once
// logswindow: the floating window that shows the activity log of this run in one read-only
// text field, EditField1, under the application's menu bar. It floats above the console window
// and has no maximise box. Made on first use of its accessor; closing it only hides it, so the
// text of the run is kept. The field keeps the latest 4 MiB of text and 10 000 lines at most, and
// shows a very long logged line cut, with a mark. Main thread only.

#include "platform/ui/window.h"

#include <deque>

class QPlainTextEdit;
class QTimer;

namespace platform {
class LineWriter;
}

class logswindow final : public platform::ui::Window {
    Q_OBJECT
 public:
    // The one log window, made (and shown) on first use.
    static logswindow& instance();
    static bool exists();
    static void release();  // before the Qt application object goes

    // Each piece the window is given from now on also goes there, as the window shows it and
    // without the line end that begins it; none by default.
    static void echoTo(platform::LineWriter* output);
    // The window the log window floats above, this one and any made later; none by default.
    static void floatAbove(platform::ui::Window* owner);

    QPlainTextEdit& EditField1() { return *editField1_; }
    QString text();  // the whole text, with what waits to be shown
    // One logged line (or a warning and a line), beginning with a line end; it goes on the end
    // of the text, cut when very long.
    void appendText(const QString& piece);

 private:
    struct Piece {
        QString text;
        qsizetype cost;  // of showing it, in characters
    };

    logswindow();
    void showPending();
    void showWaiting(qsizetype budget);
    void dropOldestShown();

    QPlainTextEdit* editField1_;
    // Pieces wait here briefly and are shown together: drawing the field for every line would
    // cost the main thread more than answering the request that logged it. When they come
    // faster than the field can take them, the oldest that wait are left out and counted.
    std::deque<Piece> pending_;
    qsizetype pendingCost_ = 0;
    long leftOut_ = 0;
    QTimer* pendingTimer_;
};
