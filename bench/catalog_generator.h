#pragma once
// Deterministic catalog files for the benchmark: the same seed and row count always give the
// same file content, so runs on different days and machines search the same data.

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Planted names, so that each scenario's condition matches a known, stable share of rows
// whatever the random words around them are.
inline constexpr const char* kRareWord = "quokka";     // about 1 name in 1000
inline constexpr const char* kCommonWord = "marmot";   // about 1 name in 200
inline constexpr const char* kExactName = "ledger_2024.txt";  // every 2000th row

struct CatalogPlan {
    std::string fileName;
    int64_t rows;
    uint64_t seed;
};

// The files search_bench uses, all in one folder.
std::vector<CatalogPlan> benchCatalogPlans();

// Rows of table paths, or -1 for a missing file, a file of another generator version or no catalog.
int64_t catalogRowCount(const std::string& path);

// Writes the catalog through a temporary name, so an interrupted run never leaves a file that
// looks complete. Empty on success, else the reason.
std::string writeCatalog(const std::string& path, int64_t rows, uint64_t seed);

// Makes every planned file missing from folder or of the wrong size; reports each on stderr.
bool makeBenchCatalogs(const std::string& folder);

}  // namespace bench
