#include "platform/ui/font.h"

#include "platform/text_rule.h"

#include <QApplication>

#include <algorithm>

namespace platform::ui {

namespace {
// How much smaller "smallSystem" is than "System", in points; never below a readable size.
constexpr qreal kSmallerBy = 1;
constexpr qreal kSmallest = 6;
}  // namespace

QFont fontNamed(std::string_view name, int size) {
    QFont font = QApplication::font();
    if (text::equalsNoCase(name, "smallSystem")) {
        if (font.pointSizeF() > 0) font.setPointSizeF(std::max(kSmallest, font.pointSizeF() - kSmallerBy));
    } else if (!text::equalsNoCase(name, "System") && !name.empty()) {
        font.setFamily(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    }
    if (size > 0 && (font.pointSizeF() <= 0 || size < font.pointSizeF())) font.setPointSize(size);
    return font;
}

}  // namespace platform::ui
