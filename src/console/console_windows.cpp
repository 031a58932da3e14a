#include "console/console_windows.h"

#include "console/dbs_window.h"
#include "console/log_window.h"
#include "platform/display.h"
#include "platform/open_dialog.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

namespace {

QWidget* controlNamed(std::string_view name) {
    return dbswindow::instance().findChild<QWidget*>(QString::fromUtf8(name.data(), static_cast<int>(name.size())));
}

}  // namespace

ConsoleWindows::~ConsoleWindows() {
    logswindow::release();
    dbswindow::release();
}

void ConsoleWindows::showConsoleWindow() {
    dbswindow& window = dbswindow::instance();
    window.show();
    // Offscreen there is nothing to bring to the front.
    if (!platform::hasDisplay()) return;
    window.raise();
    window.activateWindow();
}

WindowFrame ConsoleWindows::consoleFrame() {
    const QWidget& window = dbswindow::instance();
    return {window.x(), window.y(), window.width(), window.height()};
}

void ConsoleWindows::showLogWindow() {
    logswindow& window = logswindow::instance();
    window.show();
    if (platform::hasDisplay()) window.raise();
}

void ConsoleWindows::setLogWindowVisible(bool visible) { logswindow::instance().setVisible(visible); }

void ConsoleWindows::moveLogWindow(int left, int top) { logswindow::instance().move(left, top); }

void ConsoleWindows::appendLogText(const std::string& text) {
    logswindow::instance().appendText(QString::fromUtf8(text.data(), static_cast<int>(text.size())));
}

void ConsoleWindows::setControlText(std::string_view control, const std::string& text) {
    QWidget* widget = controlNamed(control);
    const QString value = QString::fromStdString(text);
    if (auto* line = qobject_cast<QLineEdit*>(widget)) line->setText(value);
    else if (auto* plain = qobject_cast<QPlainTextEdit*>(widget)) plain->setPlainText(value);
    else if (auto* label = qobject_cast<QLabel*>(widget)) label->setText(value);
}

void ConsoleWindows::setControlVisible(std::string_view control, bool visible) {
    if (QWidget* widget = controlNamed(control)) widget->setVisible(visible);
}

int ConsoleWindows::controlWidth(std::string_view control) {
    const QWidget* widget = controlNamed(control);
    return widget ? widget->width() : 0;
}

void ConsoleWindows::setControlWidth(std::string_view control, int width) {
    if (QWidget* widget = controlNamed(control)) widget->resize(width, widget->height());
}

void ConsoleWindows::setControlValue(std::string_view control, bool value) {
    if (auto* button = qobject_cast<QAbstractButton*>(controlNamed(control))) button->setChecked(value);
}

void ConsoleWindows::setMenuText(std::string_view, const std::string&) {
    // The menu bar has no items to name yet.
}

void ConsoleWindows::aktualizacia() {
    // The console has no database list to rebuild yet.
}

std::pair<int, int> ConsoleWindows::mainScreenSize() { return platform::mainScreenSize(); }

std::optional<std::string> ConsoleWindows::showOpenDialog(const OpenDialogRequest& request) {
    return platform::showOpenDialog({request.prompt, request.title, request.left, request.top, request.filter.Name,
                                     request.filter.Extensions});
}
