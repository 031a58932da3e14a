#pragma once
// dbswindow: the console window, the server's main window. Closing it quits the server.
// Main thread only.

#include <QWidget>

class dbswindow final : public QWidget {
    Q_OBJECT
 public:
    // The one console window, made on first use.
    static dbswindow& instance();
    static void release();  // before the Qt application object goes

 protected:
    void closeEvent(QCloseEvent* event) override;

 private:
    dbswindow();
};
