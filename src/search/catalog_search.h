#pragma once
// The step of serving a request that reads the catalog files it names. Worker thread.

#include "search/request_state.h"

#include <chrono>
#include <string>
#include <string_view>

inline constexpr std::string_view kGetdisksMarker = "SELECT * FROM disks ORDER BY disk ASC;''''';getdisks";
inline constexpr std::string_view kDiskBrowseSeparator = ";''''';";

// How long the statements of one request may run on its catalogs, all together: past it every
// statement of the request is treated as one the engine rejected, so that a condition that runs
// too long holds up the requests behind it for no longer than this.
std::chrono::milliseconds catalogStatementTimeLimit();
void setCatalogStatementTimeLimit(std::chrono::milliseconds limit);  // before the worker starts

// For each database path of the request in order: its disks are loaded, and either its disks
// (a getdisks browse) or its matching rows (a search or disk browse) are appended to the answer.
void runDatabaseLoop(RequestState& state);

// A disk browse condition "W;''''';N" becomes "W AND (disk=N)".
std::string diskBrowseCondition(std::string_view condition);
