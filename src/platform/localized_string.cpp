#include "platform/localized_string.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

#include <memory>

namespace platform {

std::string GetLocalizedString(std::string_view key, std::string_view defaultText) {
    const size_t point = key.find('.');
    if (point == std::string_view::npos) return std::string(defaultText);
    const std::string context(key.substr(0, point));
    const std::string name(key.substr(point + 1));
    const QString translated = QCoreApplication::translate(context.c_str(), name.c_str());
    // Qt gives the source text back when it has no translation for it.
    if (translated == QString::fromUtf8(name.c_str())) return std::string(defaultText);
    return translated.toStdString();
}

void installTranslations(const FolderItem& applicationFolder) {
    auto translator = std::make_unique<QTranslator>(QCoreApplication::instance());
    const QString folder = QString::fromStdString(applicationFolder.Child("translations").AbsolutePath());
    if (translator->load(QLocale::system(), QStringLiteral("quorvantel"), QStringLiteral("_"), folder))
        QCoreApplication::installTranslator(translator.release());
}

}  // namespace platform
