#include "console/console_windows.h"

#include "console/console_pictures.h"
#include "console/dbs_window.h"
#include "console/log_window.h"
#include "console/menu_bar.h"
#include "platform/display.h"
#include "platform/errors.h"
#include "platform/ui/check_box.h"
#include "platform/ui/edit_field.h"
#include "platform/ui/open_dialog.h"
#include "platform/ui/static_text.h"

#include <QTimer>

#include <utility>

namespace {

platform::ui::Control* controlNamed(std::string_view name) { return dbswindow::instance().FindControl(name); }

}  // namespace

ConsoleWindows::~ConsoleWindows() {
    logswindow::release();
    dbswindow::release();
    pictures::release();
}

void ConsoleWindows::showConsoleWindow() {
    dbswindow& window = dbswindow::instance();
    window.show();
    logswindow::floatAbove(&window);
    // Offscreen there is nothing to bring to the front.
    if (!platform::hasDisplay()) return;
    window.raise();
    window.activateWindow();
}

WindowFrame ConsoleWindows::consoleFrame() {
    const QRect frame = dbswindow::instance().Frame();
    return {frame.x(), frame.y(), frame.width(), frame.height()};
}

void ConsoleWindows::showLogWindow() {
    logswindow& window = logswindow::instance();
    window.show();
    if (platform::hasDisplay()) window.raise();
}

void ConsoleWindows::setLogWindowVisible(bool visible) {
    logswindow& window = logswindow::instance();
    // Hidden and shown again at once, as activation does, the window would be withdrawn from the
    // window manager and handed back to it while it still withdraws it: the manager can lose it.
    // So a hide waits for the current event to end, and a show meanwhile only cancels it.
    if (!visible) {
        hideLogWindow_ = true;
        QTimer::singleShot(0, &window, [this] {
            if (std::exchange(hideLogWindow_, false)) logswindow::instance().hide();
        });
        return;
    }
    hideLogWindow_ = false;
    window.show();
    if (platform::hasDisplay()) window.raise();
}

void ConsoleWindows::moveLogWindow(int left, int top) { logswindow::instance().MoveFrame(left, top); }

void ConsoleWindows::whenWindowsPlaced(std::function<void()> action) {
    dbswindow::instance().WhenPlaced([action = std::move(action)] { logswindow::instance().WhenPlaced(action); });
}

void ConsoleWindows::appendLogText(const std::string& text) {
    logswindow::instance().appendText(QString::fromUtf8(text.data(), static_cast<int>(text.size())));
}

void ConsoleWindows::setControlText(std::string_view control, const std::string& text) {
    platform::ui::Control* found = controlNamed(control);
    if (auto* field = dynamic_cast<platform::ui::EditField*>(found))
        field->SetText(text);
    else if (auto* label = dynamic_cast<platform::ui::StaticText*>(found))
        label->SetText(text);
}

void ConsoleWindows::setControlVisible(std::string_view control, bool visible) {
    if (platform::ui::Control* found = controlNamed(control)) found->SetVisible(visible);
}

int ConsoleWindows::controlWidth(std::string_view control) {
    const platform::ui::Control* found = controlNamed(control);
    return found ? found->Width() : 0;
}

void ConsoleWindows::setControlWidth(std::string_view control, int width) {
    if (platform::ui::Control* found = controlNamed(control)) found->SetWidth(width);
}

void ConsoleWindows::setControlValue(std::string_view control, bool value) {
    if (auto* box = dynamic_cast<platform::ui::CheckBox*>(controlNamed(control))) box->SetValue(value);
}

void ConsoleWindows::setMenuText(std::string_view item, const std::string& text) {
    platform::ui::MenuItem* found = applicationMenuItem(item);
    if (!found) throw platform::NilObjectException("no menu item " + std::string(item));
    found->SetText(text);
}

void ConsoleWindows::aktualizacia() { dbswindow::instance().aktualizacia(); }

std::pair<int, int> ConsoleWindows::mainScreenSize() { return platform::mainScreenSize(); }

std::optional<std::string> ConsoleWindows::showOpenDialog(const OpenDialogRequest& request) {
    return platform::showOpenDialog({request.prompt, request.title, request.left, request.top, request.filter.Name,
                                     request.filter.Extensions});
}
