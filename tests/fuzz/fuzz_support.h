#pragma once
// What the fuzz targets share: a private folder with one small catalog, and an answer checker
// written apart from the answer builders, so that a fault in them cannot hide itself.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A violated invariant stops the run where libFuzzer records the input.
#define FUZZ_CHECK(condition) \
    do {                      \
        if (!(condition)) __builtin_trap(); \
    } while (0)

namespace qvfuzz {

// How every answer begins.
inline constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n\n";

// A fresh folder in the temporary folder, removed when the process exits.
std::string makeTempFolder();

// Writes the catalog: disks, paths (the ten record columns in a shuffled order and two extra
// ones), and a table and a view that no statement of a request may read.
void writeCatalog(const std::string& path);

uint64_t fileHash(const std::string& path);

// Plain split; the protocol's separators hold no letters, so ignoring case changes nothing.
std::vector<std::string_view> split(std::string_view text, std::string_view separator);

// The head a search answer for this request text must begin with.
std::string expectedSearchHead(std::string_view request);

enum class Shape { Complete, Incomplete, Broken };

// Records: the parts of an answer after its head: tight record lines with ten quote-free
// attributes in their order, then the tail, then nothing. `records` receives their count.
Shape recordsShape(std::string_view body, size_t& records);

}  // namespace qvfuzz
