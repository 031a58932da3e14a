#include "platform/ui/open_dialog.h"

#include "platform/display.h"
#include "platform/text_rule.h"

#include <QFileDialog>
#include <QGuiApplication>
#include <QScreen>

namespace platform {

std::string nameFilter(const OpenDialogOptions& options) {
    if (options.filterExtension.empty()) return {};
    std::string pattern = "*";
    for (const char c : options.filterExtension) {
        const char lower = text::lowerAscii(c);
        if (lower < 'a' || lower > 'z') pattern += c;
        else pattern.append({'[', lower, static_cast<char>(lower - 'a' + 'A'), ']'});
    }
    return options.filterName + " (" + pattern + ")";
}

std::optional<std::string> showOpenDialog(const OpenDialogOptions& options) {
    if (!hasDisplay()) return std::nullopt;
    QFileDialog dialog(nullptr, QString::fromStdString(options.title));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setLabelText(QFileDialog::LookIn, QString::fromStdString(options.prompt));
    if (const std::string filter = nameFilter(options); !filter.empty()) {
        dialog.setNameFilter(QString::fromStdString(filter));
        dialog.setOption(QFileDialog::HideNameFilterDetails);  // the operator sees the name, not the pattern
    }
    dialog.move(options.left, options.top);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
}

std::pair<int, int> mainScreenSize() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return {0, 0};
    return {screen->geometry().width(), screen->geometry().height()};
}

}  // namespace platform
