// Number reading and writing in protocol texts. The reader must never throw or depend on the
// process locale (Qt sets it from the environment), and the writer must never emit "-0" or an
// exponent, because clients parse the answers with their own strict readers.

#include "platform/numbers.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace {

using platform::formatWhole;
using platform::Str;
using platform::toInt32;
using platform::Val;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct ValCase {
    std::string_view text;
    double expected;
};

const ValCase kValCases[] = {
    {"42", 42},       {"  42abc", 42},   {"\t7", 7},      {"-7.9", -7.9},  {"+3", 3},
    {"1e3", 1000},    {"1E+2", 100},     {"25e-1", 2.5},  {"1e", 1},       {"1e+", 1},
    {".5", 0.5},      {"-.5", -0.5},     {"5.", 5},       {"abc", 0},      {"", 0},
    {"   ", 0},       {"- 5", 0},        {"+-5", 0},      {".", 0},        {"0x10", 0},
    {"1,5", 1},       {"1.2.3", 1.2},    {"inf", 0},      {"nan", 0},      {"007", 7},
    {"1e400", kInf},  {"-1e400", -kInf}, {"1e-400", 0},
};

void expectValTable() {
    for (const auto& c : kValCases) {
        const double got = Val(c.text);
        if (std::isinf(c.expected))
            EXPECT_EQ(got, c.expected) << '"' << c.text << '"';
        else
            EXPECT_DOUBLE_EQ(got, c.expected) << '"' << c.text << '"';
    }
}

TEST(NumbersVal, LenientReading) { expectValTable(); }

TEST(NumbersVal, ReadsOnlyTheGivenView) {
    // The reader gets views into larger buffers; digits beyond the view must not be read.
    const std::string_view whole = "12345";
    EXPECT_DOUBLE_EQ(Val(whole.substr(0, 2)), 12);
    EXPECT_DOUBLE_EQ(Val(std::string_view("1.5e2", 3)), 1.5);
}

// Restores the numeric locale even when an expectation fails.
class NumericLocale {
 public:
    explicit NumericLocale(const char* name) : saved_(std::setlocale(LC_NUMERIC, nullptr)) {
        active_ = std::setlocale(LC_NUMERIC, name) != nullptr;
    }
    ~NumericLocale() { std::setlocale(LC_NUMERIC, saved_.c_str()); }
    bool active() const { return active_; }

 private:
    std::string saved_;
    bool active_ = false;
};

TEST(NumbersVal, IndependentOfCommaDecimalLocale) {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "nl_NL.UTF-8"}) {
        NumericLocale locale(name);
        if (!locale.active()) continue;
        expectValTable();
        EXPECT_EQ(formatWhole(1234567.0), "1234567");
        return;
    }
    GTEST_SKIP() << "no locale with a decimal comma is installed";
}

struct Int32Case {
    double value;
    int32_t expected;
};

TEST(NumbersToInt32, TruncatesAndClamps) {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    const Int32Case cases[] = {
        {2.9, 2},           {-2.9, -2},          {0.999, 0},        {-0.999, 0},
        {-0.0, 0},          {2147483646.9, 2147483646},             {2147483647.0, kMax},
        {2147483647.5, kMax}, {2147483648.0, kMax}, {1e12, kMax},   {kInf, kMax},
        {-2147483648.0, kMin}, {-2147483648.9, kMin}, {-2147483649.0, kMin},
        {-1e12, kMin},      {-kInf, kMin},       {kNaN, 0},         {-kNaN, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(toInt32(c.value), c.expected) << c.value;
}

TEST(NumbersToInt64, ClampsWhatNoInt64Holds) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    EXPECT_EQ(platform::toInt64(-1e30), kMin);
    EXPECT_EQ(platform::toInt64(1e30), kMax);
    EXPECT_EQ(platform::toInt64(9223372036854775808.0), kMax);
    EXPECT_EQ(platform::toInt64(-9223372036854775808.0), kMin);
    EXPECT_EQ(platform::toInt64(kNaN), 0);
    EXPECT_EQ(platform::toInt64(-2.9), -2);
    EXPECT_EQ(platform::toInt64(4294967296.5), 4294967296);
}

TEST(NumbersStr, PlainDecimal) {
    EXPECT_EQ(Str(std::numeric_limits<int32_t>::min()), "-2147483648");
    EXPECT_EQ(Str(std::numeric_limits<int32_t>::max()), "2147483647");
    EXPECT_EQ(Str(int32_t{0}), "0");
    EXPECT_EQ(Str(std::numeric_limits<int64_t>::min()), "-9223372036854775808");
}

struct FormatCase {
    double value;
    std::string_view expected;
};

TEST(NumbersFormatWhole, RoundsHalfAwayFromZeroWithoutNegativeZero) {
    const FormatCase cases[] = {
        {0.5, "1"},     {-0.5, "-1"},   {1.5, "2"},     {2.5, "3"},     {-2.5, "-3"},
        {-2.4, "-2"},   {2.4999, "2"},  {-0.4, "0"},    {-0.0, "0"},    {0.0, "0"},
        {0.49999999999999994, "0"},    // the largest double below one half must not round up
        {-1e-300, "0"}, {7, "7"},       {-123456789.0, "-123456789"},
        {1e15, "1000000000000000"},     {-1e15, "-1000000000000000"},
        {4503599627370497.0, "4503599627370497"},
        {1e21, "1000000000000000000000"},
        {kInf, "0"},    {-kInf, "0"},   {kNaN, "0"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatWhole(c.value), c.expected) << c.value;
}

TEST(NumbersFormatWhole, LargestDoubleIsWrittenInFull) {
    const std::string text = formatWhole(std::numeric_limits<double>::max());
    EXPECT_EQ(text.size(), 309u);
    EXPECT_EQ(text.substr(0, 6), "179769");
    EXPECT_EQ(text.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(formatWhole(-std::numeric_limits<double>::max()), "-" + text);
}

}  // namespace
