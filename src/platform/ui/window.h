#pragma once
// Window: a top-level window whose geometry is that of its content area in screen pixels, with
// named controls that keep their locked distances to the window's edges on every resize, a
// keyboard focus order by the controls' tab indexes, and the events Open (once, when it first
// shows, after each control's Open), Close, Activate and DropObject. A window may show the
// application's menu bar above its content area; the bar is then part of the window's frame,
// and the content area keeps its size and place on the screen. Under a window manager a
// window's place and frame are known only once the manager has shown it: WhenPlaced waits for
// that. A window may float above an owner window: the window manager then keeps it above the
// owner whenever the owner comes to the front. Main thread only.

#include "platform/folder_item.h"
#include "platform/ui/control.h"

#include <QPointer>
#include <QWidget>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class QMenuBar;
class QMimeData;

namespace platform::ui {

// The files of one drop, handed over one at a time: the current one, and a step to the next.
class DragItem {
 public:
    explicit DragItem(std::vector<std::string> paths);  // the absolute paths, at least one

    platform::FolderItem FolderItem() const;
    bool NextItem();  // false, staying on the last file, when there is no further one

 private:
    std::vector<std::string> paths_;
    size_t current_ = 0;
};

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
    // The whole window as the desktop places it: the content area with the menu bar above it,
    // and the frame a window manager draws around both.
    QRect Frame() const { return frameGeometry(); }
    // Moves the window so that its frame's top left corner stands at left, top.
    void MoveFrame(int left, int top);
    // Runs action once the desktop has placed the window and drawn its frame: at once when it
    // has, else when the window first shows on the screen. Actions run in the order given.
    void WhenPlaced(std::function<void()> action);
    bool Placed() const { return placed_; }

    std::string Title() const;
    void SetTitle(std::string_view title);
    bool Visible() const { return isVisible(); }
    void SetVisible(bool visible) { setVisible(visible); }
    void Show();
    void setVisible(bool visible) override;

    // Keeps this window above owner (none: a window of its own) from the next time it shows: the
    // desktop learns of an owner only as the window appears. The owner may go first.
    void FloatAbove(Window* owner);

    // Shows the application's menu bar (see menu_bar.h) at the top of this window.
    void SetMenuBarVisible(bool visible);
    bool MenuBarVisible() const { return menuBarVisible_; }
    int MenuBarHeight() const { return menuBarHeight_; }  // 0 while no bar is shown
    QMenuBar* menuBarWidget() const { return menuBar_; }
    // Takes up the application's menu bar as it now is; the menu layer calls it on every change.
    void RefreshMenuBar();

    // From now on files with this ending (such as ".vxo", any letter case) may be dropped on the
    // window; an empty ending admits every file and folder.
    void AcceptFileDrop(std::string_view ending);

    // The widget the controls live in.
    QWidget& contentArea() const { return *content_; }

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
    // The admitted local files of a drop, in the order of the drop, and the drop action (a
    // Qt::DropAction).
    std::function<void(DragItem& item, int action)> DropObject;

 protected:
    // Chains the controls that take the focus by their tab indexes; call once all are made.
    void applyTabOrder();

    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

 private:
    friend class Control;
    void adopt(Control& control);
    void forget(Control& control);
    void arrangeControls();
    void setContentGeometry(const QRect& geometry);
    void applySizeLimits();
    void markPlaced();
    void tellOwner();
    std::vector<std::string> admittedFiles(const QMimeData& data) const;

    QWidget* content_;
    QMenuBar* menuBar_ = nullptr;
    bool menuBarVisible_ = false;
    int menuBarHeight_ = 0;
    QSize minimumContent_{0, 0};
    QSize maximumContent_{QWIDGETSIZE_MAX, QWIDGETSIZE_MAX};
    std::vector<std::string> dropEndings_;
    std::vector<Control*> controls_;
    QPointer<Window> owner_;
    bool opened_ = false;
    bool lostToModal_ = false;
    bool placed_ = false;
    std::vector<std::function<void()>> whenPlaced_;
};

}  // namespace platform::ui
