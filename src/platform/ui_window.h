#pragma once
// Window: a top-level window whose geometry is that of its content area in screen pixels, with
// named controls that keep their locked distances to the window's edges on every resize, a
// keyboard focus order by the controls' tab indexes, and the events Open (once, when it first
// shows, after each control's Open), Close, Activate and DropObject. Main thread only.

#include "platform/ui_control.h"

#include <QWidget>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::ui {

class Window : public QWidget {
    Q_OBJECT
 public:
    explicit Window(Qt::WindowFlags flags = Qt::Window);
    ~Window() override;
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // The content area, in screen pixels.
    int Left() const;
    int Top() const;
    int Width() const;
    int Height() const;
    void SetLeft(int left);
    void SetTop(int top);
    void SetWidth(int width);
    void SetHeight(int height);
    void SetMinimumSize(int width, int height);
    void SetMaximumSize(int width, int height);

    std::string Title() const;
    void SetTitle(std::string_view title);
    bool Visible() const { return isVisible(); }
    void SetVisible(bool visible) { setVisible(visible); }
    void Show();

    // The control of that name (names compare exactly), or none.
    Control* FindControl(std::string_view name) const;
    template <typename Kind>
    Kind* Find(std::string_view name) const {
        return dynamic_cast<Kind*>(FindControl(name));
    }
    // In the order they were made.
    const std::vector<Control*>& Controls() const { return controls_; }

    std::function<void()> Open;
    std::function<void()> Close;
    std::function<void()> Activate;
    // The absolute paths of the dropped files, in the order of the drop.
    std::function<void(const std::vector<std::string>& paths)> DropObject;

 protected:
    // Chains the controls that take the focus by their tab indexes; call once all are made.
    void applyTabOrder();

    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void dropEvent(QDropEvent* event) override;

 private:
    friend class Control;
    void adopt(Control& control);
    void forget(Control& control);
    void arrangeControls();
    void setContentGeometry(const QRect& geometry);

    std::vector<Control*> controls_;
    bool opened_ = false;
};

}  // namespace platform::ui
