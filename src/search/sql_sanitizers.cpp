#include "search/sql_sanitizers.h"

#include "platform/text_rule.h"

#include <array>
#include <vector>

namespace {

constexpr std::array<std::string_view, 7> kStatementWords = {"ALTER",  "DROP",   "DELETE", "TRUNCATE",
                                                              "INSERT", "UPDATE", "SET"};

// Deletes the statement words from the pieces outside the quote character; pieces inside stay.
std::string deleteWordsOutside(std::string_view text, char quote) {
    const auto pieces = platform::text::splitViewsNoCase(text, std::string_view(&quote, 1));
    std::string joined;
    joined.reserve(text.size());
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) joined.push_back(quote);
        if (i % 2 == 1) {
            joined.append(pieces[i]);
            continue;
        }
        std::string piece(pieces[i]);
        for (std::string_view word : kStatementWords) piece = platform::text::replaceAllNoCase(piece, word, "");
        joined.append(piece);
    }
    return joined;
}

}  // namespace

namespace gfs {

std::string anotherkiller(std::string_view condition) {
    const std::string_view cut = condition.substr(0, condition.find(';'));
    return deleteWordsOutside(deleteWordsOutside(cut, '"'), '\'');
}

std::string killBadChars(std::string_view text) {
    return platform::text::replaceAllNoCase(platform::text::replaceAllNoCase(text, "'", "::/AP/::"), "\"", "::/UV/::");
}

}  // namespace gfs

void appendCleanedValue(std::string& out, std::string_view value) {
    if (value.find_first_of("\r'\"") == std::string_view::npos) {
        out.append(value);
        return;
    }
    for (const char c : value) {
        if (c == '\r') continue;
        if (c == '\'')
            out.append("::/AP/::");
        else if (c == '"')
            out.append("::/UV/::");
        else
            out.push_back(c);
    }
}

size_t cleanedSize(std::string_view value) {
    size_t size = value.size();
    for (size_t at = value.find_first_of("\r'\""); at != std::string_view::npos; at = value.find_first_of("\r'\"", at + 1))
        size = value[at] == '\r' ? size - 1 : size + 7;
    return size;
}
