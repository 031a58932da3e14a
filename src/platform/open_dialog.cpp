#include "platform/open_dialog.h"

#include "platform/display.h"

#include <QFileDialog>
#include <QGuiApplication>
#include <QScreen>

namespace platform {

std::optional<std::string> showOpenDialog(const OpenDialogOptions& options) {
    if (!hasDisplay()) return std::nullopt;
    QFileDialog dialog(nullptr, QString::fromStdString(options.title));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setLabelText(QFileDialog::LookIn, QString::fromStdString(options.prompt));
    if (!options.filterExtension.empty()) {
        // The extension is matched without regard to letter case, as the catalog application writes either.
        const QString extension = QString::fromStdString(options.filterExtension).mid(1);
        dialog.setNameFilter(QString::fromStdString(options.filterName) + " (*." + extension.toLower() + " *." +
                             extension.toUpper() + ")");
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
