#pragma once
// Real message boxes and beeps for a server with a display: modal boxes that wait for the
// operator. Main thread only.

#include "platform/message_box.h"

namespace platform {

class WidgetMessagePresenter final : public MessagePresenter {
 public:
    void showMessage(const std::string& text) override;
    void beep() override;
};

// Installs WidgetMessagePresenter when the server has a display; without one the standard
// error presenter stays.
void installWidgetMessagesWithDisplay();

}  // namespace platform
