#include "platform/ui/check_box.h"

#include "platform/ui/window.h"

namespace platform::ui {

CheckBox::CheckBox(Window& window, const ControlPlacement& placement)
    : QCheckBox(&window.contentArea()), Control(window, *this, placement) {
    connect(this, &QCheckBox::toggled, this, [this] { fire(Action); });
}

std::string CheckBox::Caption() const { return text().toStdString(); }

void CheckBox::SetCaption(std::string_view caption) {
    setText(QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size())));
}

}  // namespace platform::ui
