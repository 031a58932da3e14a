// The protocol's one text rule: ASCII letters fold, every other byte (UTF-8 included) is exact.
// A fault here silently breaks command matching, setting names and the query splitter.

#include "platform/text_rule.h"

#include <gtest/gtest.h>

namespace {

using namespace platform::text;
constexpr size_t npos = std::string_view::npos;

TEST(TextRule, EqualityFoldsAsciiLettersOnly) {
    const struct { std::string_view a, b; bool equal; } cases[] = {
        {"MiXeD123", "mIxEd123", true}, {"abc", "abcd", false},    {"caf\xC3\xA9", "CAF\xC3\xA9", true},
        {"\xC3\x89", "\xC3\xA9", false},                           // É / é: UTF-8 never folds
        {"[", "{", false},              {"@", "`", false},         // the case bit apart, but no letters
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::pair(equalsNoCase(c.a, c.b), equalsNoCase(c.b, c.a)), std::pair(c.equal, c.equal)) << c.a;
    EXPECT_EQ(lowerAscii(std::string_view("AbC\xC3\x89Z")), "abc\xC3\x89z");
    EXPECT_TRUE(endsWithNoCase("catalog.VXO", ".vxo"));
    EXPECT_FALSE(endsWithNoCase("vxo", ".vxo"));
}

TEST(TextRule, FindNoCase) {
    const struct { std::string_view haystack, needle; size_t from, expected; } cases[] = {
        {"Hello World", "WORLD", 0, 6}, {"Hello World", "o", 5, 7}, {"Hello World", "", 0, npos},
        {"abc", "c", 2, 2},             {"abc", "a", 100, npos},    {"abc", "abcd", 0, npos},
        {"aaab", "AAB", 0, 1},          // a partial match must not skip the real one
        {"x\xC3\xA9y", "\xC3\x89", 0, npos},
    };
    for (const auto& c : cases) EXPECT_EQ(findNoCase(c.haystack, c.needle, c.from), c.expected) << c.needle;
}

TEST(TextRule, SplitCopiesAndViews) {
    const struct { std::string_view text, separator; std::vector<std::string> fields; } cases[] = {
        {"no separator", "::", {"no separator"}}, {"", "::", {""}},  {"a]':'[]':'[b", "]':'[", {"a", "", "b"}},
        {"a:::b", "::", {"a", ":b"}},             // leftmost match, then resume after it
        {"xANDyand", "And", {"x", "y", ""}},      {"abc", "", {"abc"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(splitNoCase(c.text, c.separator), c.fields) << c.text;
        const auto views = splitViewsNoCase(c.text, c.separator);
        EXPECT_EQ(std::vector<std::string>(views.begin(), views.end()), c.fields) << c.text;
    }
}

TEST(TextRule, ReplaceAllNoCase) {
    const struct { std::string_view text, find, replacement, expected; } cases[] = {
        {"Cat cat CAT", "cat", "dog", "dog dog dog"}, {"aaaa", "aa", "b", "bb"}, {"text", "", "x", "text"},
        {"aaa", "a", "aa", "aaaaaa"},                 // the replacement holds the search text: no loop
        {"a'b'c", "'", "''", "a''b''c"},              {"\xC3\x89t\xC3\xA9", "\xC3\xA9", "e", "\xC3\x89te"},
    };
    for (const auto& c : cases) EXPECT_EQ(replaceAllNoCase(c.text, c.find, c.replacement), c.expected) << c.text;
}

}  // namespace
