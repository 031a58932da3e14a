#pragma once
// Font names as the console uses them: "System" is the desktop's default font and "smallSystem"
// a smaller one of the same family. The sizes the console asks for can be larger than this
// desktop's own, so a size given with a name is a ceiling: no control's text comes out larger
// than the text around it. Main thread only (needs the Qt application object).

#include <QFont>

#include <string_view>

namespace platform::ui {

// The font named name ("System", "smallSystem"; letter case ignored, any other name is taken as
// a family) at its own size, or at size points when that is smaller; 0 sets no ceiling.
QFont fontNamed(std::string_view name, int size = 0);

}  // namespace platform::ui
