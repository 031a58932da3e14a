#pragma once
// Canvas: a control that shows a picture (its backdrop) at its top left corner and reports the
// mouse: MouseDown(x, y), whose handler returns true when it handled the press, MouseEnter and
// MouseExit. It takes no focus. Main thread only.

#include "platform/ui/control.h"
#include "platform/ui/picture.h"

#include <QWidget>

#include <functional>

namespace platform::ui {

class Canvas final : public QWidget, public Control {
    Q_OBJECT
 public:
    Canvas(Window& window, const ControlPlacement& placement);

    const Picture& Backdrop() const { return backdrop_; }
    void SetBackdrop(Picture picture);  // an empty picture leaves the canvas blank

    std::function<bool(int x, int y)> MouseDown;
    std::function<void()> MouseEnter;
    std::function<void()> MouseExit;

 protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

 private:
    Picture backdrop_;
};

}  // namespace platform::ui
