#pragma once
// Keyboard: which keys are held down at this moment, as the old platform's AsyncKeyDown told.
// Kept from the key press and release events that pass through the application, so a key
// pressed while another program had the keyboard is not seen. Main thread only.

namespace platform::ui::Keyboard {

// True while the key (a Qt::Key, such as Qt::Key_Return or the keypad's Qt::Key_Enter) is down.
bool AsyncKeyDown(int key);

// Starts following the keyboard; idempotent. Needs the application object; the edit fields
// call it when they are made.
void follow();

}  // namespace platform::ui::Keyboard
