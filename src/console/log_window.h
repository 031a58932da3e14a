#pragma once
// logswindow: the floating window that shows the activity log of this run in one read-only
// text field, EditField1, under the application's menu bar. Made on first use of its accessor;
// closing it only hides it, so the text of the run is kept. Main thread only.

#include "platform/ui_window.h"

class QPlainTextEdit;
class QTimer;

class logswindow final : public platform::ui::Window {
    Q_OBJECT
 public:
    // The one log window, made (and shown) on first use.
    static logswindow& instance();
    static bool exists();
    static void release();  // before the Qt application object goes

    QPlainTextEdit& EditField1() { return *editField1_; }
    QString text();                          // the whole text, with what waits to be shown
    void appendText(const QString& piece);  // the piece goes on the end, as it stands

 private:
    logswindow();
    void showPending();

    QPlainTextEdit* editField1_;
    // Lines wait here briefly and are shown together: drawing the field for every line would
    // cost the main thread more than answering the request that logged it.
    QString pending_;
    QTimer* pendingTimer_;
};
