#include "platform/text_rule.h"

#include <algorithm>

namespace platform::text {

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = lowerAscii(c);
    return out;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    return true;
}

bool endsWithNoCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && equalsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

size_t findNoCase(std::string_view haystack, std::string_view needle, size_t from) {
    if (needle.empty() || from >= haystack.size() || needle.size() > haystack.size() - from)
        return std::string_view::npos;
    const char first = lowerAscii(needle[0]);
    const size_t last = haystack.size() - needle.size();
    for (size_t i = from; i <= last; ++i) {
        if (lowerAscii(haystack[i]) != first) continue;
        if (equalsNoCase(haystack.substr(i, needle.size()), needle)) return i;
    }
    return std::string_view::npos;
}

std::vector<std::string_view> splitViewsNoCase(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (size_t at = findNoCase(text, separator); at != std::string_view::npos;
         at = findNoCase(text, separator, start)) {
        fields.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
    fields.push_back(text.substr(start));
    return fields;
}

std::vector<std::string> splitNoCase(std::string_view text, std::string_view separator) {
    const auto views = splitViewsNoCase(text, separator);
    return {views.begin(), views.end()};
}

std::string replaceAllNoCase(std::string_view text, std::string_view find, std::string_view replacement) {
    std::string out;
    out.reserve(text.size());
    size_t start = 0;
    for (size_t at = findNoCase(text, find); at != std::string_view::npos; at = findNoCase(text, find, start)) {
        out.append(text.substr(start, at - start));
        out.append(replacement);
        start = at + find.size();
    }
    out.append(text.substr(start));
    return out;
}

}  // namespace platform::text
