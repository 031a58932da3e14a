#pragma once
// Control: what every control of a Window has in common. A control has a name by which the
// program finds it, a place in the window's content pixels, the window edges whose distance it
// keeps when the window is resized (its locks), a place in the keyboard focus order, a help tag
// and an Open event raised once when its window first shows. Main thread only.

#include "platform/exception_guard.h"

#include <QRect>
#include <QSize>

#include <functional>
#include <string>
#include <string_view>
#include <utility>

class QWidget;

namespace platform::ui {

class Window;

enum Lock : unsigned {
    LockLeft = 1u << 0,
    LockTop = 1u << 1,
    LockRight = 1u << 2,
    LockBottom = 1u << 3,
};

// Where a control goes when it is made.
struct ControlPlacement {
    std::string name;
    QRect bounds;                       // left, top, width, height in content pixels
    unsigned locks = LockLeft | LockTop;
    int tabIndex = -1;                  // -1: no place in the focus order
};

// Runs an event handler, if one is bound, inside the guard that hands escaping exceptions to
// the application's handler. Returns the handler's result, or fallback without one.
template <typename Result, typename... Args, typename... Given>
Result fire(const std::function<Result(Args...)>& handler, Result fallback, Given&&... args) {
    Result result = fallback;
    if (handler) guarded([&] { result = handler(std::forward<Given>(args)...); });
    return result;
}

template <typename... Args, typename... Given>
void fire(const std::function<void(Args...)>& handler, Given&&... args) {
    if (handler) guarded([&] { handler(std::forward<Given>(args)...); });
}

class Control {
 public:
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;
    virtual ~Control();

    const std::string& Name() const { return name_; }
    Window& window() const { return window_; }
    QWidget& widget() const { return widget_; }
    // The widget that actually takes the keyboard focus for this control.
    virtual QWidget& focusTarget() const { return widget_; }
    int TabIndex() const { return tabIndex_; }
    unsigned Locks() const { return locks_; }

    // Placement in content pixels. A place set here is the one the locks keep from now on.
    int Left() const;
    int Top() const;
    int Width() const;
    int Height() const;
    QRect Bounds() const;
    void SetLeft(int left);
    void SetTop(int top);
    void SetWidth(int width);
    void SetHeight(int height);
    void SetBounds(const QRect& bounds);

    // The control's own flag: true also while its window is hidden, if it would show with it.
    bool Visible() const;
    void SetVisible(bool visible);
    bool Enabled() const;
    void SetEnabled(bool enabled);
    std::string HelpTag() const;
    void SetHelpTag(std::string_view text);
    void SetTextFont(std::string_view name, int size = 0);

    std::function<void()> Open;

 protected:
    // widget is the control itself (the QWidget part of the derived class, already made with
    // the window as its parent).
    Control(Window& window, QWidget& widget, const ControlPlacement& placement);

 private:
    friend class Window;
    // Called by the window after its content area took a new size.
    void followWindow(QSize content);
    void rememberDistances();

    Window& window_;
    QWidget& widget_;
    std::string name_;
    unsigned locks_;
    int tabIndex_;
    // Distances to the four edges and the size, as last placed by the program; the layout
    // works from these so that a squeeze to the minimum size loses nothing.
    int leftGap_ = 0;
    int topGap_ = 0;
    int rightGap_ = 0;
    int bottomGap_ = 0;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace platform::ui
