// The rewriting of a disk browse condition "W;''''';N" into "W AND (disk=N)".

#include "fuzz_support.h"
#include "search/catalog_search.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string rewritten = diskBrowseCondition(input);

    FUZZ_CHECK(rewritten.ends_with(")"));
    const size_t marker = rewritten.rfind(" AND (disk=");
    FUZZ_CHECK(marker != std::string::npos);
    // The client's part is kept as written, up to the separator.
    FUZZ_CHECK(rewritten.substr(0, marker) == input.substr(0, input.find(";''''';")));
    // The disk number is a whole number, whatever text followed the separator.
    std::string_view number = std::string_view(rewritten).substr(marker + 11);
    number.remove_suffix(1);
    if (number.starts_with('-')) number.remove_prefix(1);
    FUZZ_CHECK(!number.empty() && number.find_first_not_of("0123456789") == std::string_view::npos);
    FUZZ_CHECK(number == "0" || !number.starts_with('0'));
    return 0;
}
