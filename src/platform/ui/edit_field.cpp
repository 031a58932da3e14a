#include "platform/ui/edit_field.h"

#include "platform/ui/keyboard.h"
#include "platform/ui/window.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QVBoxLayout>

#include <algorithm>

namespace platform::ui {

namespace {
QString qtext(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
}  // namespace

EditField::EditField(Window& window, const ControlPlacement& placement, bool multiLine)
    : QWidget(&window.contentArea()), Control(window, *this, placement) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    if (multiLine) {
        lines_ = new QPlainTextEdit(this);
        lines_->setTabChangesFocus(true);
        lines_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        connect(lines_, &QPlainTextEdit::textChanged, this, [this] { fire(TextChange); });
        layout->addWidget(lines_);
    } else {
        line_ = new QLineEdit(this);
        connect(line_, &QLineEdit::textChanged, this, [this] { fire(TextChange); });
        layout->addWidget(line_);
    }
    // Read-only fields still take the focus, so that their text can be selected and copied.
    editor().setFocusPolicy(Qt::StrongFocus);
    editor().installEventFilter(this);
    setFocusProxy(&editor());
    setFocusPolicy(Qt::StrongFocus);
    SetTextColor(Qt::black);
    SetBackColor(Qt::white);
    // A field's handlers may ask which keys are held down while it is typed in.
    Keyboard::follow();
}

QWidget& EditField::editor() const {
    if (lines_) return *lines_;
    return *line_;
}

QWidget& EditField::focusTarget() const { return editor(); }

std::string EditField::Text() const {
    return (lines_ ? lines_->toPlainText() : line_->text()).toStdString();
}

void EditField::SetText(std::string_view text) {
    if (lines_)
        lines_->setPlainText(qtext(text));
    else
        line_->setText(qtext(text));
}

bool EditField::ReadOnly() const { return lines_ ? lines_->isReadOnly() : line_->isReadOnly(); }

void EditField::SetReadOnly(bool readOnly) {
    if (lines_) {
        lines_->setReadOnly(readOnly);
        lines_->setFocusPolicy(Qt::StrongFocus);
    } else {
        line_->setReadOnly(readOnly);
    }
}

QColor EditField::TextColor() const { return editor().palette().color(QPalette::Text); }

void EditField::SetTextColor(const QColor& colour) {
    QPalette palette = editor().palette();
    palette.setColor(QPalette::Text, colour);
    editor().setPalette(palette);
}

void EditField::SetBackColor(const QColor& colour) {
    QPalette palette = editor().palette();
    palette.setColor(QPalette::Base, colour);
    editor().setPalette(palette);
}

void EditField::SetScrollBars(bool shown) {
    if (!lines_) return;
    const Qt::ScrollBarPolicy policy = shown ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff;
    lines_->setVerticalScrollBarPolicy(policy);
    lines_->setHorizontalScrollBarPolicy(policy);
}

int EditField::SelStart() const {
    if (lines_) return lines_->textCursor().selectionStart();
    return line_->hasSelectedText() ? line_->selectionStart() : line_->cursorPosition();
}

int EditField::SelLength() const {
    if (lines_) {
        const QTextCursor cursor = lines_->textCursor();
        return cursor.selectionEnd() - cursor.selectionStart();
    }
    return static_cast<int>(line_->selectedText().size());
}

void EditField::SetSelStart(int start) { select(start, 0); }

void EditField::SetSelLength(int length) { select(SelStart(), length); }

void EditField::select(int start, int length) {
    const int size = static_cast<int>(lines_ ? lines_->toPlainText().size() : line_->text().size());
    start = std::clamp(start, 0, size);
    length = std::clamp(length, 0, size - start);
    if (lines_) {
        QTextCursor cursor = lines_->textCursor();
        cursor.setPosition(start);
        cursor.setPosition(start + length, QTextCursor::KeepAnchor);
        lines_->setTextCursor(cursor);
        lines_->ensureCursorVisible();
    } else if (length > 0) {
        line_->setSelection(start, length);
    } else {
        line_->setCursorPosition(start);
    }
}

bool EditField::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &editor() && event->type() == QEvent::KeyPress) {
        const auto* press = static_cast<QKeyEvent*>(event);
        const KeyPress key{press->text().toStdString(), press->key()};
        if (fire(KeyDown, false, key)) return true;
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace platform::ui
