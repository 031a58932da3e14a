#include "platform/ui/window.h"

#include "platform/display.h"
#include "platform/text_rule.h"
#include "platform/ui/menu_bar.h"
#include "platform/ui/menu_item.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMenuBar>
#include <QMimeData>
#include <QResizeEvent>
#include <QShowEvent>
#include <QUrl>
#include <QWindow>

#include <algorithm>
#include <utility>

namespace platform::ui {

DragItem::DragItem(std::vector<std::string> paths) : paths_(std::move(paths)) {}

platform::FolderItem DragItem::FolderItem() const { return platform::FolderItem(paths_.at(current_)); }

bool DragItem::NextItem() {
    if (current_ + 1 >= paths_.size()) return false;
    ++current_;
    return true;
}

Window::Window(Qt::WindowFlags flags) : QWidget(nullptr, flags), content_(new QWidget(this)) {
    content_->setObjectName("contentArea");
}

Window::~Window() {
    // The controls go first, while the window they unregister from is still whole; Qt would
    // delete them only after this part of the window is gone.
    while (!controls_.empty()) delete &controls_.back()->widget();
}

int Window::Left() const { return geometry().x(); }
int Window::Top() const { return geometry().y() + menuBarHeight_; }
int Window::Width() const { return width(); }
int Window::Height() const { return std::max(0, height() - menuBarHeight_); }

void Window::SetLeft(int left) { setContentGeometry(QRect(left, Top(), Width(), Height())); }
void Window::SetTop(int top) { setContentGeometry(QRect(Left(), top, Width(), Height())); }

// A size alone leaves the placement to the desktop, as a window that was never moved keeps it.
void Window::SetWidth(int width) {
    resize(width, height());
    arrangeControls();
}

void Window::SetHeight(int height) {
    resize(width(), height + menuBarHeight_);
    arrangeControls();
}

void Window::setContentGeometry(const QRect& geometry) {
    setGeometry(geometry.x(), geometry.y() - menuBarHeight_, geometry.width(), geometry.height() + menuBarHeight_);
    arrangeControls();
}

void Window::MoveFrame(int left, int top) {
    // The window manager puts the frame there, whether or not it has framed the window yet.
    if (QWindow* handle = windowHandle())
        handle->setFramePosition(QPoint(left, top));
    else
        move(left, top);
}

void Window::WhenPlaced(std::function<void()> action) {
    if (placed_) {
        fire(action);
        return;
    }
    whenPlaced_.push_back(std::move(action));
}

void Window::markPlaced() {
    if (placed_) return;
    placed_ = true;
    // A copy: an action may add others, which then run at once.
    const std::vector<std::function<void()>> actions = std::exchange(whenPlaced_, {});
    for (const auto& action : actions) fire(action);
}

void Window::SetMinimumSize(int width, int height) {
    minimumContent_ = QSize(width, height);
    applySizeLimits();
    arrangeControls();
}

void Window::SetMaximumSize(int width, int height) {
    maximumContent_ = QSize(width, height);
    applySizeLimits();
    arrangeControls();
}

void Window::applySizeLimits() {
    // The limits are the content area's; the menu bar comes on top of them.
    setMinimumSize(minimumContent_.width(), minimumContent_.height() + menuBarHeight_);
    setMaximumSize(maximumContent_.width(), std::min(QWIDGETSIZE_MAX, maximumContent_.height() + menuBarHeight_));
}

std::string Window::Title() const { return windowTitle().toStdString(); }

void Window::SetTitle(std::string_view title) {
    setWindowTitle(QString::fromUtf8(title.data(), static_cast<qsizetype>(title.size())));
}

void Window::Show() { show(); }

void Window::setVisible(bool visible) {
    if (visible && !isVisible()) tellOwner();
    QWidget::setVisible(visible);
}

void Window::FloatAbove(Window* owner) {
    owner_ = owner;
    if (windowHandle()) tellOwner();
}

// The desktop reads the owner only as the window appears, so the native window learns of it
// before that. An owner without a native window yet cannot be named; a later show names it.
void Window::tellOwner() {
    QWindow* ownerHandle = owner_ ? owner_->windowHandle() : nullptr;
    if (!ownerHandle && !windowHandle()) return;
    winId();
    windowHandle()->setTransientParent(ownerHandle);
}

void Window::SetMenuBarVisible(bool visible) {
    menuBarVisible_ = visible;
    RefreshMenuBar();
}

void Window::RefreshMenuBar() {
    const QRect content(Left(), Top(), Width(), Height());
    const MenuBar* bar = menuBarVisible_ ? ApplicationMenuBar() : nullptr;
    if (menuBar_) {
        // The actions belong to the menu tree; the bar only shows them.
        for (QAction* action : menuBar_->actions()) menuBar_->removeAction(action);
        menuBar_->hide();
    }
    menuBarHeight_ = 0;
    if (bar && bar->Count() > 0) {
        if (!menuBar_) {
            menuBar_ = new QMenuBar(this);
            menuBar_->setObjectName("menuBar");
        }
        for (int i = 0; i < bar->Count(); ++i) menuBar_->addAction(&bar->Item(i)->action());
        // A desktop that keeps the menus in a bar of its own takes no room from the window.
        if (!menuBar_->isNativeMenuBar()) {
            menuBar_->show();
            menuBarHeight_ = menuBar_->sizeHint().height();
        }
    }
    applySizeLimits();
    // The content area stays where it was; a window never placed is left to the desktop.
    if (testAttribute(Qt::WA_Moved))
        setContentGeometry(content);
    else
        SetHeight(content.height());
}

void Window::AcceptFileDrop(std::string_view ending) {
    dropEndings_.emplace_back(ending);
    setAcceptDrops(true);
}

std::vector<std::string> Window::admittedFiles(const QMimeData& data) const {
    std::vector<std::string> paths;
    for (const QUrl& url : data.urls()) {
        if (!url.isLocalFile()) continue;
        // A folder comes with a trailing slash, which is no part of its path.
        const std::string path = QDir::cleanPath(url.toLocalFile()).toStdString();
        const bool admitted = std::any_of(dropEndings_.begin(), dropEndings_.end(), [&path](const std::string& ending) {
            return ending.empty() || platform::text::endsWithNoCase(path, ending);
        });
        if (admitted) paths.push_back(path);
    }
    return paths;
}

Control* Window::FindControl(std::string_view name) const {
    const auto it = std::find_if(controls_.begin(), controls_.end(),
                                 [name](const Control* control) { return control->Name() == name; });
    return it == controls_.end() ? nullptr : *it;
}

void Window::adopt(Control& control) { controls_.push_back(&control); }

void Window::forget(Control& control) { std::erase(controls_, &control); }

void Window::arrangeControls() {
    // While the window is hidden Qt holds its resize event back; the controls follow at once.
    if (menuBar_) menuBar_->setGeometry(0, 0, width(), menuBarHeight_);
    content_->setGeometry(0, menuBarHeight_, Width(), Height());
    const QSize content(Width(), Height());
    for (Control* control : controls_) control->followWindow(content);
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
    // Without a window manager the place asked for is the place taken. With one, the window
    // shows on the screen only once the manager has placed and framed it.
    if (!hasDisplay())
        markPlaced();
    else if (QWindow* handle = windowHandle())
        handle->installEventFilter(this);
}

bool Window::eventFilter(QObject* watched, QEvent* event) {
    if (watched == windowHandle() && event->type() == QEvent::Expose && windowHandle()->isExposed()) {
        watched->removeEventFilter(this);
        // After the events the manager sent with it, which give the window its final place.
        QMetaObject::invokeMethod(this, [this] { markPlaced(); }, Qt::QueuedConnection);
    }
    return QWidget::eventFilter(watched, event);
}

void Window::closeEvent(QCloseEvent* event) {
    fire(Close);
    event->accept();
}

void Window::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::ActivationChange) return;
    if (!isActiveWindow()) {
        lostToModal_ = QApplication::activeModalWidget() != nullptr;
        return;
    }
    // The activation a modal box hands back when it closes is no new one: an Activate handler
    // that shows a box would otherwise run again each time its box is dismissed.
    if (std::exchange(lostToModal_, false)) return;
    fire(Activate);
}

void Window::dragEnterEvent(QDragEnterEvent* event) {
    if (admittedFiles(*event->mimeData()).empty())
        event->ignore();
    else
        event->acceptProposedAction();
}

void Window::dragMoveEvent(QDragMoveEvent* event) {
    if (admittedFiles(*event->mimeData()).empty())
        event->ignore();
    else
        event->acceptProposedAction();
}

void Window::dropEvent(QDropEvent* event) {
    std::vector<std::string> paths = admittedFiles(*event->mimeData());
    if (paths.empty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    DragItem item(std::move(paths));
    fire(DropObject, item, static_cast<int>(event->dropAction()));
}

}  // namespace platform::ui
