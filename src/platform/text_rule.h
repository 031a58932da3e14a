#pragma once
// The one text rule of the server's protocol texts, commands, setting names and SQL words:
// comparisons ignore ASCII letter case only; bytes beyond ASCII (UTF-8) compare exactly.
// Pure functions; safe on any thread.

#include <string>
#include <string_view>
#include <vector>

namespace platform::text {

char lowerAscii(char c);
std::string lowerAscii(std::string_view text);

bool equalsNoCase(std::string_view a, std::string_view b);
bool endsWithNoCase(std::string_view text, std::string_view suffix);

// Position of the first occurrence of needle at or after from, or npos. An empty needle is
// found nowhere, so splitting or replacing at an empty text leaves the text whole.
size_t findNoCase(std::string_view haystack, std::string_view needle, size_t from = 0);

// Splits at every occurrence of separator. A text without one gives one field (itself);
// an empty text gives one empty field.
std::vector<std::string> splitNoCase(std::string_view text, std::string_view separator);

// Same split, without copying: the views point into text.
std::vector<std::string_view> splitViewsNoCase(std::string_view text, std::string_view separator);

std::string replaceAllNoCase(std::string_view text, std::string_view find, std::string_view replacement);

}  // namespace platform::text
