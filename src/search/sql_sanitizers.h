#pragma once
// The two text guards of the catalog search: anotherkiller cleans a client's condition before
// it goes into a statement on table paths, killBadChars marks the quotes of a catalog value
// before it goes between double quotes in an answer. Pure functions; any thread.

#include <string>
#include <string_view>

namespace gfs {

// Cuts the condition at its first ";" and deletes ALTER, DROP, DELETE, TRUNCATE, INSERT, UPDATE
// and SET (any letter case) outside double quotes, then outside apostrophes.
std::string anotherkiller(std::string_view condition);

// "'" becomes "::/AP/::" and '"' becomes "::/UV/::".
std::string killBadChars(std::string_view text);

}  // namespace gfs

// Appends a catalog text value as answers carry it: carriage returns removed, then the quotes
// marked as killBadChars does; in one pass, without copying a value that needs no change.
void appendCleanedValue(std::string& out, std::string_view value);
// The size of the value as appendCleanedValue writes it, found without writing it.
size_t cleanedSize(std::string_view value);
