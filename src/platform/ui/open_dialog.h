#pragma once
// The open dialog for one existing file, and the size of the main screen it is placed on.
// Without a display no one can answer, so the dialog is not shown and nothing is chosen.
// Main thread only.

#include <optional>
#include <string>
#include <utility>

namespace platform {

struct OpenDialogOptions {
    std::string prompt;
    std::string title;
    int left = 0;
    int top = 0;
    std::string filterName;       // such as "Quorvantel database"
    std::string filterExtension;  // such as ".vxo"; empty offers every file
};

// The dialog's file filter, "NAME (PATTERN)", with a pattern that takes the extension in any
// letter case ("*.[vV][xX][oO]"): the catalog application writes either, and the dialogs of
// some desktops match patterns case by case. Empty when no extension is given.
std::string nameFilter(const OpenDialogOptions& options);

// The chosen file's absolute path, or none when cancelled.
std::optional<std::string> showOpenDialog(const OpenDialogOptions& options);

// Width and height of the main screen in pixels; (0, 0) when there is none.
std::pair<int, int> mainScreenSize();

}  // namespace platform
