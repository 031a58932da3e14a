#include "platform/numbers.h"

#include <clocale>
#include <cstdlib>
#include <locale.h>
#include <cmath>
#include <cstdio>
#include <limits>

namespace platform {

namespace {
bool isDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

double Val(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    const size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const size_t digitsStart = i;
    while (i < text.size() && isDigit(text[i])) ++i;
    size_t mantissaDigits = i - digitsStart;
    if (i < text.size() && text[i] == '.') {
        size_t j = i + 1;
        while (j < text.size() && isDigit(text[j])) ++j;
        mantissaDigits += j - i - 1;
        i = j;
    }
    if (mantissaDigits == 0) return 0.0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        if (j < text.size() && isDigit(text[j])) {
            while (j < text.size() && isDigit(text[j])) ++j;
            i = j;
        }
    }
    // strtod_l with the C locale: the process locale (set by Qt) must not change the decimal point.
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    const std::string number(text.substr(start, i - start));
    return strtod_l(number.c_str(), nullptr, cLocale);
}

int32_t toInt32(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);  // truncates toward zero
}

int64_t toInt64(double value) {
    if (std::isnan(value)) return 0;
    // 2^63 is exactly representable; every double below it converts without overflow.
    if (value >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (value <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

std::string Str(int32_t value) { return std::to_string(value); }
std::string Str(int64_t value) { return std::to_string(value); }

std::string formatWhole(double value) {
    if (!std::isfinite(value)) return "0";
    const double rounded = std::round(value);  // half away from zero
    if (rounded == 0.0) return "0";              // never "-0"
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%.0f", rounded);
    return buffer;
}

}  // namespace platform
