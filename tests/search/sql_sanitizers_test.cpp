// The two text guards between a client's condition, the catalog statements and the answer.

#include "search/sql_sanitizers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    std::string input;
    std::string expected;
};

TEST(SanitizerAnotherkiller, CutsAtTheFirstSemicolonEvenInsideQuotes) {
    const Case cases[] = {
        {"1=1; DROP TABLE paths", "1=1"},
        {"name = 'a;b'", "name = 'a"},
        {"name = \"a;b\" OR 1", "name = \"a"},
        {";anything", ""},
        {"1=1) ; ATTACH DATABASE 'x' AS y", "1=1) "},
        {"no semicolon", "no semicolon"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(gfs::anotherkiller(c.input), c.expected) << "input: " << c.input;
}

TEST(SanitizerAnotherkiller, DeletesStatementWordsInOrderAndInBothPasses) {
    const Case cases[] = {
        {"ALTER DROP DELETE TRUNCATE INSERT UPDATE SET", "      "},
        {"alter Drop dElEtE truncate insert update set", "      "},
        {"OFFSET", "OFF"},
        {"UPDATED", "D"},
        {"name LIKE 'xDROPx'", "name LIKE 'xx'"},
        // What the first pass joins together the second pass deletes, once.
        {"DRDROPOP", ""},
        {"DRDRDROPOPOP", "DROP"},
        // Within one pass the words go in their order: ALTER before DROP joins into a DROP that
        // goes too, SET after DROP joins into one that stays for the next pass.
        {"\"DRALTEROP\"", "\"\""},
        {"\"DRSETOP\"", "\"DROP\""},
        {"'DRSETOP'", "'DROP'"},
        {"INSINSERTERT", ""},
        // Only the ASCII letters fold; other bytes stay.
        {"ſET", "ſET"},
        {"name='caf\xc3\xa9'", "name='caf\xc3\xa9'"},
    };
    for (const auto& c : cases) EXPECT_EQ(gfs::anotherkiller(c.input), c.expected) << "input: " << c.input;
}

TEST(SanitizerAnotherkiller, AWordSurvivesOnlyInsideBothKindsOfQuotes) {
    const Case cases[] = {
        {"name = 'DROP'", "name = ''"},
        {"name = \"DROP\"", "name = \"\""},
        {"name = \"'DROP'\"", "name = \"'DROP'\""},
        {"name = '\"DROP\"'", "name = '\"DROP\"'"},
        {"a = \"'x'\" AND DELETE", "a = \"'x'\" AND "},
        // An unclosed quote reaches the end of the text.
        {"name = \"DROP", "name = \""},
        {"name = '\"SET", "name = '\"SET"},
    };
    for (const auto& c : cases) EXPECT_EQ(gfs::anotherkiller(c.input), c.expected) << "input: " << c.input;
}

TEST(SanitizerKillBadChars, MarksQuotesAndLeavesTheRest) {
    const Case cases[] = {
        {"'\"", "::/AP/::::/UV/::"},
        {"it's \"x\"", "it::/AP/::s ::/UV/::x::/UV/::"},
        {"plain <text> & more\r\n", "plain <text> & more\r\n"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(gfs::killBadChars(c.input), c.expected) << "input: " << c.input;
}

TEST(SanitizerAppendCleanedValue, RemovesCarriageReturnsKeepsLineFeedsAndMarksQuotes) {
    const Case cases[] = {
        {"a\r\nb", "a\nb"},
        {"\r\r", ""},
        {"it's", "it::/AP/::s"},
        {"\"q\"\r", "::/UV/::q::/UV/::"},
        {"<a> & <b>", "<a> & <b>"},
        {"", ""},
        {std::string("nul\0byte", 8), std::string("nul\0byte", 8)},
    };
    for (const auto& c : cases) {
        std::string out = "kept|";
        appendCleanedValue(out, c.input);
        EXPECT_EQ(out, "kept|" + c.expected) << "input: " << c.input;
        // The fast path and the marking path must agree with killBadChars on what they share.
        if (c.input.find('\r') == std::string::npos) {
            EXPECT_EQ(out, "kept|" + gfs::killBadChars(c.input));
        }
    }
}

}  // namespace
