// The two text guards of the catalog search on arbitrary text.

#include "fuzz_support.h"
#include "search/sql_sanitizers.h"

#include <algorithm>

namespace {
size_t quotes(std::string_view text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '"') + std::count(text.begin(), text.end(), '\''));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    const std::string cleaned = gfs::anotherkiller(input);
    FUZZ_CHECK(cleaned.find(';') == std::string::npos);
    FUZZ_CHECK(cleaned.size() <= input.size());
    // A deleted quote would turn the text inside a literal into statement text.
    FUZZ_CHECK(quotes(cleaned) == quotes(input.substr(0, input.find(';'))));

    const std::string marked = gfs::killBadChars(input);
    FUZZ_CHECK(marked.find_first_of("'\"") == std::string::npos);
    // The one-pass cleaner of catalog values must agree with the marker on text without returns.
    std::string withoutReturns(input);
    std::erase(withoutReturns, '\r');
    std::string appended = "x";
    appendCleanedValue(appended, input);
    FUZZ_CHECK(appended == "x" + gfs::killBadChars(withoutReturns));
    return 0;
}
