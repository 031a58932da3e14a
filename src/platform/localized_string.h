#pragma once
// The localised-string lookup: a key "owner.name" is looked up as Qt's translation of the text
// "name" in the context "owner"; without a translation the built-in default is returned.
// Lookups are safe on any thread once the translations are installed on the main thread.

#include "platform/folder_item.h"

#include <string>
#include <string_view>

namespace platform {

std::string GetLocalizedString(std::string_view key, std::string_view defaultText);

// Loads "translations/quorvantel_<locale>.qm" of the given folder for the system locale, when
// one exists. Main thread, after the Qt application object exists.
void installTranslations(const FolderItem& applicationFolder);

}  // namespace platform
