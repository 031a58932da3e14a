#include "platform/ui/static_text.h"

#include "platform/ui/window.h"

namespace platform::ui {

StaticText::StaticText(Window& window, const ControlPlacement& placement)
    : QLabel(&window.contentArea()), Control(window, *this, placement) {
    setFocusPolicy(Qt::NoFocus);
    setWordWrap(false);
    setTextFormat(Qt::PlainText);
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, Qt::black);
    setPalette(colours);
    SetTextAlign(Qt::AlignLeft);
}

std::string StaticText::Text() const { return text().toStdString(); }

void StaticText::SetText(std::string_view text) {
    setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void StaticText::SetTextAlign(Qt::Alignment horizontal) {
    setAlignment((horizontal & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter);
}

}  // namespace platform::ui
