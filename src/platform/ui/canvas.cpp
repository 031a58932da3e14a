#include "platform/ui/canvas.h"

#include "platform/ui/window.h"

#include <QMouseEvent>
#include <QPainter>

namespace platform::ui {

Canvas::Canvas(Window& window, const ControlPlacement& placement)
    : QWidget(&window.contentArea()), Control(window, *this, placement) {
    setFocusPolicy(Qt::NoFocus);
    // The old picture goes before the new one is drawn, also where the new one is transparent.
    setAutoFillBackground(true);
}

void Canvas::SetBackdrop(Picture picture) {
    backdrop_ = std::move(picture);
    update();
}

void Canvas::paintEvent(QPaintEvent*) {
    if (!backdrop_) return;
    QPainter painter(this);
    painter.drawImage(0, 0, *backdrop_);
}

void Canvas::mousePressEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    fire(MouseDown, false, at.x(), at.y());
    event->accept();
}

void Canvas::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    fire(MouseEnter);
}

void Canvas::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    fire(MouseExit);
}

}  // namespace platform::ui
