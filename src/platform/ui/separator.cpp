#include "platform/ui/separator.h"

#include "platform/ui/window.h"

namespace platform::ui {

Separator::Separator(Window& window, const ControlPlacement& placement)
    : QFrame(&window.contentArea()), Control(window, *this, placement) {
    setFrameShape(placement.bounds.width() >= placement.bounds.height() ? QFrame::HLine : QFrame::VLine);
    setFrameShadow(QFrame::Sunken);
    setFocusPolicy(Qt::NoFocus);
}

}  // namespace platform::ui
