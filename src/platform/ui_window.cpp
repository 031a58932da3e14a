#include "platform/ui_window.h"

#include <QCloseEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QResizeEvent>
#include <QShowEvent>
#include <QUrl>

#include <algorithm>

namespace platform::ui {

Window::Window(Qt::WindowFlags flags) : QWidget(nullptr, flags) {}

Window::~Window() {
    // The controls go first, while the window they unregister from is still whole; Qt would
    // delete them only after this part of the window is gone.
    while (!controls_.empty()) delete &controls_.back()->widget();
}

int Window::Left() const { return geometry().x(); }
int Window::Top() const { return geometry().y(); }
int Window::Width() const { return width(); }
int Window::Height() const { return height(); }

void Window::SetLeft(int left) { setContentGeometry(QRect(left, Top(), Width(), Height())); }
void Window::SetTop(int top) { setContentGeometry(QRect(Left(), top, Width(), Height())); }

// A size alone leaves the placement to the desktop, as a window that was never moved keeps it.
void Window::SetWidth(int width) {
    resize(width, Height());
    arrangeControls();
}

void Window::SetHeight(int height) {
    resize(Width(), height);
    arrangeControls();
}

void Window::setContentGeometry(const QRect& geometry) {
    setGeometry(geometry);
    arrangeControls();
}

void Window::SetMinimumSize(int width, int height) {
    setMinimumSize(width, height);
    arrangeControls();
}

void Window::SetMaximumSize(int width, int height) {
    setMaximumSize(width, height);
    arrangeControls();
}

std::string Window::Title() const { return windowTitle().toStdString(); }

void Window::SetTitle(std::string_view title) {
    setWindowTitle(QString::fromUtf8(title.data(), static_cast<qsizetype>(title.size())));
}

void Window::Show() { show(); }

Control* Window::FindControl(std::string_view name) const {
    const auto it = std::find_if(controls_.begin(), controls_.end(),
                                 [name](const Control* control) { return control->Name() == name; });
    return it == controls_.end() ? nullptr : *it;
}

void Window::adopt(Control& control) { controls_.push_back(&control); }

void Window::forget(Control& control) { std::erase(controls_, &control); }

void Window::arrangeControls() {
    // While the window is hidden Qt holds its resize event back; the controls follow at once.
    for (Control* control : controls_) control->followWindow(size());
}

void Window::applyTabOrder() {
    std::vector<Control*> chain;
    std::copy_if(controls_.begin(), controls_.end(), std::back_inserter(chain), [](const Control* control) {
        return control->TabIndex() >= 0 && (control->focusTarget().focusPolicy() & Qt::TabFocus);
    });
    std::stable_sort(chain.begin(), chain.end(),
                     [](const Control* a, const Control* b) { return a->TabIndex() < b->TabIndex(); });
    for (size_t i = 1; i < chain.size(); ++i) setTabOrder(&chain[i - 1]->focusTarget(), &chain[i]->focusTarget());
}

void Window::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    arrangeControls();
}

void Window::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (opened_) return;
    opened_ = true;
    // A copy: an Open handler may add or remove controls.
    const std::vector<Control*> controls = controls_;
    for (Control* control : controls) fire(control->Open);
    fire(Open);
}

void Window::closeEvent(QCloseEvent* event) {
    fire(Close);
    event->accept();
}

void Window::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) fire(Activate);
}

void Window::dropEvent(QDropEvent* event) {
    std::vector<std::string> paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) paths.push_back(url.toLocalFile().toStdString());
    if (paths.empty()) return;
    event->acceptProposedAction();
    fire(DropObject, paths);
}

}  // namespace platform::ui
