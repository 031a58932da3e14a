#pragma once
// The old desktop's font names as the console uses them: "System" is the desktop's default
// font and "smallSystem" a smaller one of the same family. Main thread only (needs the Qt
// application object).

#include <QFont>

#include <string_view>

namespace platform::ui {

// The font named name ("System", "smallSystem"; letter case ignored, any other name is taken as
// a family) at size points, or at the font's own size when size is 0.
QFont fontNamed(std::string_view name, int size = 0);

}  // namespace platform::ui
