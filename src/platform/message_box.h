#pragma once
// Message boxes and the beep. Without a display a message box is written to standard error and
// waits for no one, and a beep does nothing; the window layer installs a presenter with real
// modal boxes when there is a display. Callable from any thread: calls from other threads are
// handed to the main thread and do not wait.

#include <memory>
#include <string>
#include <string_view>

namespace platform {

class MessagePresenter {
 public:
    virtual ~MessagePresenter() = default;
    virtual void showMessage(const std::string& text) = 0;  // main thread only
    virtual void beep() = 0;                                 // main thread only
};

// Replaces the presenter; the default one writes to standard error.
void setMessagePresenter(std::unique_ptr<MessagePresenter> presenter);

void MsgBox(std::string_view text);
void Beep();

}  // namespace platform
