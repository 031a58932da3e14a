#pragma once
// StaticText: a label of one line that the user cannot change; it takes no focus.
// Main thread only.

#include "platform/ui/control.h"

#include <QLabel>

#include <string>
#include <string_view>

namespace platform::ui {

class StaticText final : public QLabel, public Control {
    Q_OBJECT
 public:
    StaticText(Window& window, const ControlPlacement& placement);

    std::string Text() const;
    void SetText(std::string_view text);
    void SetTextAlign(Qt::Alignment horizontal);  // left, centre or right, always centred vertically
};

}  // namespace platform::ui
