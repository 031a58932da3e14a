#pragma once
// CheckBox: a box with a tick and a caption. Action is raised on every change of Value, also
// one made by the program. Main thread only.

#include "platform/ui/control.h"

#include <QCheckBox>

#include <functional>
#include <string>
#include <string_view>

namespace platform::ui {

class CheckBox final : public QCheckBox, public Control {
    Q_OBJECT
 public:
    CheckBox(Window& window, const ControlPlacement& placement);

    bool Value() const { return isChecked(); }
    void SetValue(bool value) { setChecked(value); }
    std::string Caption() const;
    void SetCaption(std::string_view caption);

    std::function<void()> Action;
};

}  // namespace platform::ui
