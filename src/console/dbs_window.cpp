#include "console/dbs_window.h"

#include "core/app.h"

#include <QCloseEvent>

#include <memory>

namespace {
std::unique_ptr<dbswindow> theConsoleWindow;
}  // namespace

dbswindow& dbswindow::instance() {
    if (!theConsoleWindow) theConsoleWindow.reset(new dbswindow());
    return *theConsoleWindow;
}

void dbswindow::release() { theConsoleWindow.reset(); }

dbswindow::dbswindow() : QWidget(nullptr) {
    setObjectName("dbswindow");
    setWindowTitle("Databases");
    resize(350, 450);
    setMinimumSize(64, 64);
    setMaximumSize(32000, 32000);
}

void dbswindow::closeEvent(QCloseEvent* event) {
    // The quit closes the windows itself; the window stays until then.
    event->ignore();
    App().Quit();
}
