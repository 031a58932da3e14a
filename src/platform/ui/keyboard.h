#pragma once
// Keyboard: which keys are held down at this moment.
// Kept from the key presses and releases that the desktop hands to the application's windows,
// each counted once however far it travels among the widgets. A key pressed while another
// program had the keyboard is not seen; and since a window that a modal box blocks gets no keys
// at all, every key counts as up from the moment such a box opens until it is pressed again:
// a key can be missed, but never held for ever. Main thread only.

namespace platform::ui::Keyboard {

// True while the key (a Qt::Key, such as Qt::Key_Return or the keypad's Qt::Key_Enter) is down.
bool AsyncKeyDown(int key);

// Starts following the keyboard; idempotent. Needs the application object; the edit fields
// call it when they are made.
void follow();

}  // namespace platform::ui::Keyboard
