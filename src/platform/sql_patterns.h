#pragma once
// LIKE and GLOB as the engine reads them, character for character, but with a look at a stop flag
// every so often: one comparison of a long text with a long pattern can run for minutes inside a
// single engine step, where neither the engine's interrupt nor its progress handler reaches.
// Pure functions apart from the flag they read; any thread.

#include <atomic>
#include <cstdint>
#include <memory>

struct sqlite3;

namespace platform {

struct PatternRules {
    uint32_t matchAll;  // '%' or '*'; 0 when the escape character takes its place
    uint32_t matchOne;  // '_' or '?'; 0 likewise
    uint32_t matchSet;  // '[' for GLOB's character sets, 0 for LIKE
    bool noCase;        // ASCII letters match in either case (LIKE)
};

inline constexpr PatternRules kLikeRules{'%', '_', 0, true};
inline constexpr PatternRules kGlobRules{'*', '?', '[', false};

enum class PatternMatch { Match, NoMatch, Stopped };

// Both texts end at their first NUL byte, as the engine reads them. escape is LIKE's escape
// character (0 for none); GLOB passes '['.
PatternMatch matchPattern(const unsigned char* pattern, const unsigned char* text, const PatternRules& rules,
                          uint32_t escape, const std::atomic<bool>& stop);

// Puts like (two and three arguments) and glob on the connection in place of the engine's own.
// Once stop holds, a comparison under way fails as interrupted.
void installStoppablePatterns(sqlite3* db, std::shared_ptr<const std::atomic<bool>> stop);

}  // namespace platform
