#include "platform/sql_patterns.h"

#include <sqlite3.h>

#include <cstring>

namespace platform {

namespace {

// Outcomes of one comparison. NoWildcardMatch tells the callers further up that no later start
// position can match either, which keeps patterns full of wildcards from going exponential.
enum Outcome { kMatch, kNoMatch, kNoWildcardMatch, kStopped };

constexpr uint64_t kStopCheckStride = 1 << 16;  // characters compared between looks at the flag

// One character the way the engine decodes it: a lead byte and every continuation byte after
// it, whatever their number; overlong forms, surrogates and the two non-characters read as U+FFFD.
[[gnu::noinline]] uint32_t readMultiByteChar(const unsigned char*& p) {
    uint32_t c = *p++;
    c = c < 0xe0 ? c & 0x1f : c < 0xf0 ? c & 0x0f : c < 0xf8 ? c & 0x07 : c < 0xfc ? c & 0x03 : c < 0xfe ? c & 0x01 : 0;
    while ((*p & 0xc0) == 0x80) c = (c << 6) + (0x3f & *p++);
    if (c < 0x80 || (c & 0xFFFFF800) == 0xD800 || (c & 0xFFFFFFFE) == 0xFFFE) c = 0xFFFD;
    return c;
}

inline uint32_t readChar(const unsigned char*& p) { return *p < 0xc0 ? *p++ : readMultiByteChar(p); }

void skipChar(const unsigned char*& p) {
    if (*p++ >= 0xc0)
        while ((*p & 0xc0) == 0x80) ++p;
}

uint32_t asciiLower(uint32_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }
uint32_t asciiUpper(uint32_t c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }

class Matcher {
 public:
    Matcher(const PatternRules& rules, uint32_t matchOther, const std::atomic<bool>& stop)
        : rules_(rules), matchOther_(matchOther), stop_(stop) {}

    Outcome compare(const unsigned char* p, const unsigned char* s);

 private:
    bool spend(uint64_t work) {
        work_ += work;
        if (work_ < nextCheck_) return false;
        nextCheck_ = work_ + kStopCheckStride;
        return stop_.load(std::memory_order_relaxed);
    }
    Outcome afterMatchAll(const unsigned char* p, const unsigned char* s);
    Outcome matchSet(const unsigned char*& p, const unsigned char*& s);

    const PatternRules& rules_;
    const uint32_t matchOther_;
    const std::atomic<bool>& stop_;
    uint64_t work_ = 0;
    uint64_t nextCheck_ = kStopCheckStride;
};

Outcome Matcher::compare(const unsigned char* p, const unsigned char* s) {
    const unsigned char* escaped = nullptr;  // just after an escaped character, which is never a wildcard
    for (uint32_t c; (c = readChar(p)) != 0;) {
        if (spend(1)) return kStopped;
        if (c == rules_.matchAll) return afterMatchAll(p, s);
        if (c == matchOther_) {
            if (rules_.matchSet == 0) {
                c = readChar(p);
                if (c == 0) return kNoMatch;
                escaped = p;
            } else {
                const Outcome set = matchSet(p, s);
                if (set != kMatch) return set;
                continue;
            }
        }
        const uint32_t c2 = readChar(s);
        if (c == c2) continue;
        if (rules_.noCase && c < 0x80 && c2 < 0x80 && asciiLower(c) == asciiLower(c2)) continue;
        if (c == rules_.matchOne && p != escaped && c2 != 0) continue;
        return kNoMatch;
    }
    return *s == 0 ? kMatch : kNoMatch;
}

// p points just after a matchAll character of the pattern.
Outcome Matcher::afterMatchAll(const unsigned char* p, const unsigned char* s) {
    uint32_t c;
    // Further matchAll and matchOne characters: each matchOne takes one character of the text.
    while ((c = readChar(p)) == rules_.matchAll || (c == rules_.matchOne && rules_.matchOne != 0)) {
        if (c == rules_.matchOne && readChar(s) == 0) return kNoWildcardMatch;
    }
    if (c == 0) return kMatch;
    if (c == matchOther_) {
        if (rules_.matchSet == 0) {
            c = readChar(p);
            if (c == 0) return kNoWildcardMatch;
        } else {
            // A set right after the wildcard: tried from every position of the text.
            for (; *s; skipChar(s)) {
                if (spend(1)) return kStopped;
                const Outcome outcome = compare(p - 1, s);
                if (outcome != kNoMatch) return outcome;
            }
            return kNoWildcardMatch;
        }
    }
    // c is the first literal after the wildcard: the rest of the pattern is tried wherever the text holds it.
    if (c < 0x80) {
        const char stops[3] = {static_cast<char>(rules_.noCase ? asciiUpper(c) : c),
                               static_cast<char>(rules_.noCase ? asciiLower(c) : c), 0};
        while (true) {
            const size_t skipped = std::strcspn(reinterpret_cast<const char*>(s), stops);
            s += skipped;
            if (spend(skipped + 1)) return kStopped;
            if (*s == 0) break;
            ++s;
            const Outcome outcome = compare(p, s);
            if (outcome != kNoMatch) return outcome;
        }
    } else {
        for (uint32_t c2; (c2 = readChar(s)) != 0;) {
            if (spend(1)) return kStopped;
            if (c2 != c) continue;
            const Outcome outcome = compare(p, s);
            if (outcome != kNoMatch) return outcome;
        }
    }
    return kNoWildcardMatch;
}

// GLOB's "[...]" against one character of the text; p points just after the "[". kMatch means
// the set took the character and the comparison goes on.
Outcome Matcher::matchSet(const unsigned char*& p, const unsigned char*& s) {
    const uint32_t c = readChar(s);
    if (c == 0) return kNoMatch;
    uint32_t prior = 0;
    bool seen = false, invert = false;
    uint32_t c2 = readChar(p);
    if (c2 == '^') {
        invert = true;
        c2 = readChar(p);
    }
    if (c2 == ']') {
        if (c == ']') seen = true;
        c2 = readChar(p);
    }
    while (c2 != 0 && c2 != ']') {
        if (c2 == '-' && p[0] != ']' && p[0] != 0 && prior > 0) {
            c2 = readChar(p);
            if (c >= prior && c <= c2) seen = true;
            prior = 0;
        } else {
            if (c == c2) seen = true;
            prior = c2;
        }
        c2 = readChar(p);
    }
    if (c2 == 0 || seen == invert) return kNoMatch;
    return kMatch;
}

// The usual search for a part of a name is "%L%" (or "*L*") with L plain ASCII without
// wildcards: the comparison then answers whether the text holds L, in either case for LIKE,
// wherever L begins (an ASCII byte always begins a character). The length of L for such a
// pattern, 0 for any other.
size_t asciiPartLength(const unsigned char* pattern, const PatternRules& rules, uint32_t matchOther) {
    if (pattern[0] != rules.matchAll) return 0;
    size_t length = 1;
    for (unsigned char c; (c = pattern[length]) != 0; ++length)
        if (c >= 0x80 || c == rules.matchOne || c == matchOther || (c == rules.matchAll && pattern[length + 1] != 0))
            return 0;
    return length >= 3 && pattern[length - 1] == rules.matchAll ? length - 2 : 0;
}

// Whether the text holds the part, found without the comparison's setup.
Outcome findAsciiPart(const unsigned char* part, size_t length, const unsigned char* text, bool noCase,
                      const std::atomic<bool>& stop) {
    const char stops[3] = {static_cast<char>(noCase ? asciiUpper(part[0]) : part[0]),
                           static_cast<char>(noCase ? asciiLower(part[0]) : part[0]), 0};
    uint64_t work = 0, nextCheck = kStopCheckStride;
    for (const unsigned char* s = text;; ++s) {
        const size_t skipped = std::strcspn(reinterpret_cast<const char*>(s), stops);
        s += skipped;
        if (*s == 0) return kNoMatch;
        size_t matched = 1;  // ends at the text's NUL, which no part holds
        while (matched < length && (s[matched] == part[matched] ||
                                    (noCase && asciiLower(s[matched]) == asciiLower(part[matched]))))
            ++matched;
        if (matched == length) return kMatch;
        work += skipped + matched;
        if (work >= nextCheck) {
            nextCheck = work + kStopCheckStride;
            if (stop.load(std::memory_order_relaxed)) return kStopped;
        }
    }
}

Outcome compare(const unsigned char* pattern, size_t partLength, const unsigned char* text, const PatternRules& rules,
                uint32_t escape, const std::atomic<bool>& stop) {
    if (partLength > 0) return findAsciiPart(pattern + 1, partLength, text, rules.noCase, stop);
    return Matcher(rules, escape, stop).compare(pattern, text);
}

PatternMatch toMatch(Outcome outcome) {
    return outcome == kMatch ? PatternMatch::Match : outcome == kStopped ? PatternMatch::Stopped : PatternMatch::NoMatch;
}

// How many characters a text holds, counted by lead bytes as the engine counts them.
int charCount(const unsigned char* text) {
    int count = 0;
    while (*text) {
        skipChar(text);
        ++count;
    }
    return count;
}

struct PatternShape {
    uint32_t escape;
    size_t partLength;  // see asciiPartLength
};

struct PatternFunction {
    PatternRules rules;
    std::shared_ptr<const std::atomic<bool>> stop;
};

void patternFunction(sqlite3_context* context, int argc, sqlite3_value** argv) {
    const auto* function = static_cast<const PatternFunction*>(sqlite3_user_data(context));
    // A pattern that stays the same for the whole statement is looked at once.
    const auto* known = static_cast<const PatternShape*>(sqlite3_get_auxdata(context, 0));
    // The pattern's length bounds the work of one comparison, with the text's length.
    if (!known && sqlite3_value_bytes(argv[0]) >
                      sqlite3_limit(sqlite3_context_db_handle(context), SQLITE_LIMIT_LIKE_PATTERN_LENGTH, -1)) {
        sqlite3_result_error(context, "LIKE or GLOB pattern too complex", -1);
        return;
    }
    PatternRules rules = function->rules;
    uint32_t escape = rules.matchSet;
    if (argc == 3) {
        const unsigned char* text = sqlite3_value_text(argv[2]);
        if (!text) return;
        if (charCount(text) != 1) {
            sqlite3_result_error(context, "ESCAPE expression must be a single character", -1);
            return;
        }
        escape = readChar(text);
        // An escape character that is also a wildcard is only an escape character.
        if (escape == rules.matchAll) rules.matchAll = 0;
        if (escape == rules.matchOne) rules.matchOne = 0;
    }
    const unsigned char* pattern = sqlite3_value_text(argv[0]);
    const unsigned char* text = sqlite3_value_text(argv[1]);
    if (!pattern || !text) return;
    PatternShape shape{escape, 0};
    if (known && known->escape == escape) {
        shape = *known;
    } else {
        shape.partLength = asciiPartLength(pattern, rules, escape);
        sqlite3_set_auxdata(context, 0, new PatternShape(shape), [](void* kept) { delete static_cast<PatternShape*>(kept); });
    }
    switch (toMatch(compare(pattern, shape.partLength, text, rules, escape, *function->stop))) {
        case PatternMatch::Match: return sqlite3_result_int(context, 1);
        case PatternMatch::NoMatch: return sqlite3_result_int(context, 0);
        case PatternMatch::Stopped: return sqlite3_result_error_code(context, SQLITE_INTERRUPT);
    }
}

void install(sqlite3* db, const char* name, int arguments, const PatternRules& rules,
             const std::shared_ptr<const std::atomic<bool>>& stop) {
    // Innocuous like the engine's own, so that a catalog's views may still use them.
    constexpr int kFlags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
    sqlite3_create_function_v2(
        db, name, arguments, kFlags, new PatternFunction{rules, stop}, patternFunction, nullptr, nullptr,
        [](void* function) { delete static_cast<PatternFunction*>(function); });
}

}  // namespace

PatternMatch matchPattern(const unsigned char* pattern, const unsigned char* text, const PatternRules& rules,
                          uint32_t escape, const std::atomic<bool>& stop) {
    return toMatch(compare(pattern, asciiPartLength(pattern, rules, escape), text, rules, escape, stop));
}

void installStoppablePatterns(sqlite3* db, std::shared_ptr<const std::atomic<bool>> stop) {
    install(db, "like", 2, kLikeRules, stop);
    install(db, "like", 3, kLikeRules, stop);
    install(db, "glob", 2, kGlobRules, stop);
}

}  // namespace platform
