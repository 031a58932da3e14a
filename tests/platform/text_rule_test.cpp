// The protocol's one text rule: ASCII letters fold, every other byte (UTF-8 included) is exact.
// A fault here silently breaks command matching, setting names and the query splitter.

#include "platform/text_rule.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace platform::text;
constexpr size_t npos = std::string_view::npos;

struct EqualsCase {
    std::string_view a, b;
    bool equal;
};

TEST(TextRuleEquality, FoldsAsciiLettersOnly) {
    const EqualsCase cases[] = {
        {"SELECT", "select", true},
        {"MiXeD123", "mIxEd123", true},
        {"", "", true},
        {"abc", "abcd", false},
        {"\xC3\x89", "\xC3\xA9", false},              // É vs é: UTF-8 is never folded
        {"caf\xC3\xA9", "CAF\xC3\xA9", true},         // ASCII part folds, the é stays exact
        {"[", "{", false},                            // 0x5B / 0x7B differ by the case bit but are not letters
        {"@", "`", false},
        {"\xC1", "\xE1", false},                      // Latin-1 bytes are not letters either
    };
    for (const auto& c : cases) {
        EXPECT_EQ(equalsNoCase(c.a, c.b), c.equal) << '"' << c.a << "\" vs \"" << c.b << '"';
        EXPECT_EQ(equalsNoCase(c.b, c.a), c.equal) << "symmetry: " << c.a;
    }
    EXPECT_EQ(lowerAscii(std::string_view("AbC\xC3\x89Z")), "abc\xC3\x89z");
}

TEST(TextRuleEquality, EndsWithNoCase) {
    EXPECT_TRUE(endsWithNoCase("catalog.VXO", ".vxo"));
    EXPECT_TRUE(endsWithNoCase(".VXO", ".vxo"));
    EXPECT_TRUE(endsWithNoCase("x", ""));
    EXPECT_FALSE(endsWithNoCase("vxo", ".vxo"));   // suffix longer than the text
    EXPECT_FALSE(endsWithNoCase("a.vxa", ".vxo"));
}

struct FindCase {
    std::string_view haystack, needle;
    size_t from, expected;
};

TEST(TextRuleSearch, FindNoCase) {
    const FindCase cases[] = {
        {"Hello World", "WORLD", 0, 6},
        {"Hello World", "o", 0, 4},
        {"Hello World", "o", 5, 7},
        {"Hello World", "o", 8, npos},
        {"Hello World", "", 0, npos},         // an empty needle is found nowhere
        {"", "", 0, npos},
        {"abc", "c", 2, 2},                   // the last position is still searched
        {"abc", "a", 3, npos},                // from at the end
        {"abc", "a", 100, npos},              // from beyond the end must not wrap or crash
        {"abc", "abcd", 0, npos},
        {"aaab", "AAB", 0, 1},                // a partial match must not skip the real one
        {"x\xC3\xA9y", "\xC3\x89", 0, npos},  // é is not É
        {"x\xC3\xA9y", "\xC3\xA9Y", 0, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(findNoCase(c.haystack, c.needle, c.from), c.expected)
            << '"' << c.haystack << "\" / \"" << c.needle << "\" from " << c.from;
}

struct SplitCase {
    std::string_view text, separator;
    std::vector<std::string> fields;
};

TEST(TextRuleSplit, TableOfSeparators) {
    const SplitCase cases[] = {
        {"no separator here", "::", {"no separator here"}},
        {"", "::", {""}},
        {"a]':'[", "]':'[", {"a", ""}},
        {"]':'[", "]':'[", {"", ""}},
        {"a]':'[b]':'[c", "]':'[", {"a", "b", "c"}},
        {"a]':'[]':'[b", "]':'[", {"a", "", "b"}},
        {"one%%__''''__%%two%%__''''__%%", "%%__''''__%%", {"one", "two", ""}},
        {"k::v::", "::", {"k", "v", ""}},
        {"a:::b", "::", {"a", ":b"}},          // the match is taken leftmost, then search resumes after it
        {"::::", "::", {"", "", ""}},
        {"xANDyandz", "And", {"x", "y", "z"}},  // separators fold too
        {"abc", "", {"abc"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(splitNoCase(c.text, c.separator), c.fields) << '"' << c.text << "\" by \"" << c.separator << '"';
        const auto views = splitViewsNoCase(c.text, c.separator);
        EXPECT_EQ(std::vector<std::string>(views.begin(), views.end()), c.fields) << "views of " << c.text;
    }
}

TEST(TextRuleSplit, ViewsPointIntoTheText) {
    const std::string text = "left::right";
    const auto views = splitViewsNoCase(text, "::");
    ASSERT_EQ(views.size(), 2u);
    EXPECT_EQ(views[0].data(), text.data());
    EXPECT_EQ(views[1].data(), text.data() + 6);
}

struct ReplaceCase {
    std::string_view text, find, replacement, expected;
};

TEST(TextRuleReplace, ReplaceAllNoCase) {
    const ReplaceCase cases[] = {
        {"Cat cat CAT", "cat", "dog", "dog dog dog"},
        {"aaa", "a", "aa", "aaaaaa"},                // replacement contains the search text: no loop
        {"abAB", "ab", "xABx", "xABxxABx"},
        {"aaaa", "aa", "b", "bb"},                   // non-overlapping, left to right
        {"text", "", "x", "text"},                   // an empty search text replaces nothing
        {"text", "zz", "x", "text"},
        {"", "a", "b", ""},
        {"a'b'c", "'", "''", "a''b''c"},             // the SQL quote doubling the server relies on
        {"\xC3\x89t\xC3\xA9", "\xC3\xA9", "e", "\xC3\x89te"},
        {"remove ME please", " me", "", "remove please"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(replaceAllNoCase(c.text, c.find, c.replacement), c.expected)
            << '"' << c.text << "\" " << c.find << " -> " << c.replacement;
}

}  // namespace
