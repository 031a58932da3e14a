#pragma once
// EditField: a text field of one line or of several, with a border, a text colour, read-only
// and selection properties. Events: KeyDown(key), whose handler returns true when it consumed
// the key, and TextChange after every change of the text, also one made by the program.
// Main thread only.

#include "platform/ui/control.h"

#include <QColor>
#include <QWidget>

#include <functional>
#include <string>
#include <string_view>

class QLineEdit;
class QPlainTextEdit;

namespace platform::ui {

struct KeyPress {
    std::string text;  // the character typed, empty for a key without one
    int key = 0;       // Qt::Key, so that Return and keypad Enter can be told apart from text
};

class EditField final : public QWidget, public Control {
    Q_OBJECT
 public:
    EditField(Window& window, const ControlPlacement& placement, bool multiLine);

    bool MultiLine() const { return lines_ != nullptr; }
    std::string Text() const;
    void SetText(std::string_view text);
    bool ReadOnly() const;
    void SetReadOnly(bool readOnly);
    QColor TextColor() const;
    void SetTextColor(const QColor& colour);
    void SetBackColor(const QColor& colour);
    void SetScrollBars(bool shown);  // several lines only

    // In characters of the text.
    int SelStart() const;
    void SetSelStart(int start);  // also empties the selection
    int SelLength() const;
    void SetSelLength(int length);

    QWidget& focusTarget() const override;

    std::function<bool(const KeyPress& key)> KeyDown;
    std::function<void()> TextChange;

 protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

 private:
    QWidget& editor() const;
    void select(int start, int length);

    QLineEdit* line_ = nullptr;
    QPlainTextEdit* lines_ = nullptr;
};

}  // namespace platform::ui
