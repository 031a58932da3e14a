#include "platform/ui/control.h"

#include "platform/ui/font.h"
#include "platform/ui/window.h"

#include <QWidget>

#include <algorithm>

namespace platform::ui {

Control::Control(Window& window, QWidget& widget, const ControlPlacement& placement)
    : window_(window), widget_(widget), name_(placement.name), locks_(placement.locks), tabIndex_(placement.tabIndex) {
    widget_.setObjectName(QString::fromStdString(name_));
    widget_.setGeometry(placement.bounds);
    rememberDistances();
    window_.adopt(*this);
}

Control::~Control() { window_.forget(*this); }

int Control::Left() const { return widget_.x(); }
int Control::Top() const { return widget_.y(); }
int Control::Width() const { return widget_.width(); }
int Control::Height() const { return widget_.height(); }
QRect Control::Bounds() const { return widget_.geometry(); }

void Control::SetLeft(int left) { SetBounds(QRect(left, Top(), Width(), Height())); }
void Control::SetTop(int top) { SetBounds(QRect(Left(), top, Width(), Height())); }
void Control::SetWidth(int width) { SetBounds(QRect(Left(), Top(), std::max(0, width), Height())); }
void Control::SetHeight(int height) { SetBounds(QRect(Left(), Top(), Width(), std::max(0, height))); }

void Control::SetBounds(const QRect& bounds) {
    widget_.setGeometry(bounds);
    rememberDistances();
}

bool Control::Visible() const { return widget_.isVisibleTo(&window_); }
void Control::SetVisible(bool visible) { widget_.setVisible(visible); }
bool Control::Enabled() const { return widget_.isEnabled(); }
void Control::SetEnabled(bool enabled) { widget_.setEnabled(enabled); }
std::string Control::HelpTag() const { return widget_.toolTip().toStdString(); }
void Control::SetHelpTag(std::string_view text) {
    widget_.setToolTip(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}
void Control::SetTextFont(std::string_view name, int size) { widget_.setFont(fontNamed(name, size)); }

void Control::rememberDistances() {
    const QRect place = widget_.geometry();
    leftGap_ = place.x();
    topGap_ = place.y();
    width_ = place.width();
    height_ = place.height();
    rightGap_ = window_.Width() - (place.x() + place.width());
    bottomGap_ = window_.Height() - (place.y() + place.height());
}

namespace {

// One axis: a control locked to both edges stretches, one locked to the far edge only moves
// with it, and any other keeps its distance to the near edge.
std::pair<int, int> follow(bool nearLock, bool farLock, int nearGap, int farGap, int size, int windowSize) {
    if (nearLock && farLock) return {nearGap, std::max(0, windowSize - nearGap - farGap)};
    if (farLock) return {windowSize - farGap - size, size};
    return {nearGap, size};
}

}  // namespace

void Control::followWindow(QSize content) {
    const auto [left, width] =
        follow(locks_ & LockLeft, locks_ & LockRight, leftGap_, rightGap_, width_, content.width());
    const auto [top, height] =
        follow(locks_ & LockTop, locks_ & LockBottom, topGap_, bottomGap_, height_, content.height());
    widget_.setGeometry(left, top, width, height);
}

}  // namespace platform::ui
