#include "platform/ui/widget_message_presenter.h"

#include "platform/display.h"

#include <QApplication>
#include <QMessageBox>

namespace platform {

void WidgetMessagePresenter::showMessage(const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, QString(), QString::fromStdString(text), QMessageBox::Ok);
    box.exec();
}

void WidgetMessagePresenter::beep() { QApplication::beep(); }

void installWidgetMessagesWithDisplay() {
    if (hasDisplay()) setMessagePresenter(std::make_unique<WidgetMessagePresenter>());
}

}  // namespace platform
