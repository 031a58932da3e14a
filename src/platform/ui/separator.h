#pragma once
// Separator: a thin line that divides a window; no events, no focus. Main thread only.

#include "platform/ui/control.h"

#include <QFrame>

namespace platform::ui {

class Separator final : public QFrame, public Control {
    Q_OBJECT
 public:
    // Horizontal when the control is wider than it is tall.
    Separator(Window& window, const ControlPlacement& placement);
};

}  // namespace platform::ui
