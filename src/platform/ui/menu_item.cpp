#include "platform/ui/menu_item.h"

#include "platform/text_rule.h"
#include "platform/ui/menu_bar.h"

#include <QAction>
#include <QMenu>

namespace platform::ui {

MenuItem::MenuItem(std::string name, Kind kind)
    : name_(std::move(name)), kind_(kind), action_(std::make_unique<QAction>()) {
    // Only the quit command may move to where a desktop keeps its own.
    action_->setMenuRole(kind == QuitCommand ? QAction::QuitRole : QAction::NoRole);
    // The menu bar is the application's, not that of the window that happens to show it.
    action_->setShortcutContext(Qt::ApplicationShortcut);
    QObject::connect(action_.get(), &QAction::triggered, [this] { chosen(); });
}

MenuItem::~MenuItem() {
    // The entries leave this menu first, and the menu leaves its title before it goes.
    items_.clear();
    if (menu_) action_->setMenu(static_cast<QMenu*>(nullptr));
}

void MenuItem::SetText(std::string_view text) {
    text_ = text;
    const bool separator = text == "-";
    action_->setSeparator(separator);
    // Qt draws a separator's text across its line.
    action_->setText(separator ? QString() : QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void MenuItem::SetKeyboardShortcut(std::string_view shortcut) {
    shortcut_ = shortcut;
    action_->setShortcut(shortcutFromText(shortcut));
}

bool MenuItem::Enabled() const { return action_->isEnabled(); }

void MenuItem::SetEnabled(bool enabled) { action_->setEnabled(enabled); }

void MenuItem::Append(std::unique_ptr<MenuItem> item) {
    if (!menu_) {
        menu_ = std::make_unique<QMenu>();
        QObject::connect(menu_.get(), &QMenu::aboutToShow, [this] { opening(); });
        action_->setMenu(menu_.get());
    }
    menu_->addAction(&item->action());
    items_.push_back(std::move(item));
}

MenuItem* MenuItem::Item(int index) const {
    if (index < 0 || index >= Count()) return nullptr;
    return items_[static_cast<size_t>(index)].get();
}

MenuItem* MenuItem::Child(std::string_view name) {
    if (name_ == name) return this;
    for (const auto& item : items_)
        if (MenuItem* found = item->Child(name)) return found;
    return nullptr;
}

void MenuItem::chosen() { runMenuCommand(name_); }

void MenuItem::opening() {
    for (const auto& item : items_)
        if (item->AutoEnable()) item->SetEnabled(true);
}

QKeySequence shortcutFromText(std::string_view text) {
    Qt::KeyboardModifiers modifiers;
    QString key;
    for (const std::string& part : platform::text::splitNoCase(text, "+")) {
        if (platform::text::equalsNoCase(part, "Cmd"))
            modifiers |= Qt::ControlModifier;
        else if (platform::text::equalsNoCase(part, "Shift"))
            modifiers |= Qt::ShiftModifier;
        else if (platform::text::equalsNoCase(part, "Option"))
            modifiers |= Qt::AltModifier;
        else if (!part.empty())
            key = QString::fromStdString(part);
    }
    if (key.isEmpty()) return {};
    const QKeySequence parsed = QKeySequence::fromString(key, QKeySequence::PortableText);
    if (parsed.isEmpty()) return {};
    return QKeySequence(QKeyCombination(modifiers, parsed[0].key()));
}

}  // namespace platform::ui
