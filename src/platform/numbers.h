#pragma once
// Number reading and writing as the server's texts need them: the lenient Val reader, the
// clamping conversion to 32 bits, and the whole-number formats used in answers.
// Pure functions; safe on any thread; independent of the process locale.

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Leading blanks are skipped, then an optional sign, digits, an optional fraction and an
// optional exponent are read; anything else ends the number. No number at all gives 0.
double Val(std::string_view text);

// Truncates toward zero and clamps to the Int32 range; NaN gives 0.
int32_t toInt32(double value);

// The same for the Int64 range.
int64_t toInt64(double value);

// Plain decimal, with a minus sign for negative values.
std::string Str(int32_t value);
std::string Str(int64_t value);

// The number format "0" (and "-0"): rounded half away from zero, a minus sign for negative
// values, no grouping, no decimal point. A value that is not finite gives "0".
std::string formatWhole(double value);

}  // namespace platform
