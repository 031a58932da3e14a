#pragma once
// The file-name search step of a request: every file and folder of this machine whose name
// contains the request's Spotlight text, while the operator has Spotlight searching on.
// Worker thread.

#include "search/request_state.h"

#include <string>
#include <string_view>

inline constexpr std::string_view kSpotlightDisk = "asl****::/::****Apple Spotlight Search";

// The Spotlight text without its leading and trailing white space.
std::string_view trimmedSpotlightText(std::string_view text);

// Appends one record per hit, as the hits come, with no limit but the answer's budget and the
// request's deadline, at which the search is stopped.
void runSpotlightSearch(RequestState& state);
