#pragma once
// Localised text constants owned by the module gfs (those of the application object are static
// members of app). Each looks its key up anew and falls back to its built-in default text.
// Safe on any thread.

#include <string>

namespace gfs {

std::string dbsel_prompt();
std::string dbsel_title();
std::string butt_opendbfile();

}  // namespace gfs
