// The texts the catalog search makes of a condition or a catalog value, from arbitrary text: the
// statement guard, the quote marker and the rewriting of a disk browse "W;''''';N" into
// "W AND (disk=N)".

#include "fuzz_support.h"
#include "search/catalog_search.h"
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

    // The client's part is kept as written up to the separator, and the disk is a whole number.
    const std::string rewritten = diskBrowseCondition(input);
    const size_t marker = rewritten.rfind(" AND (disk=");
    FUZZ_CHECK(rewritten.ends_with(")") && marker != std::string::npos);
    FUZZ_CHECK(rewritten.substr(0, marker) == input.substr(0, input.find(";''''';")));
    std::string_view number = std::string_view(rewritten).substr(marker + 11);
    number.remove_suffix(1);
    if (number.starts_with('-')) number.remove_prefix(1);
    FUZZ_CHECK(!number.empty() && number.find_first_not_of("0123456789") == std::string_view::npos);
    FUZZ_CHECK(number == "0" || !number.starts_with('0'));
    return 0;
}
