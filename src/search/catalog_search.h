#pragma once
// The step of serving a request that reads the catalog files it names. Worker thread.

#include "search/request_state.h"

#include <chrono>
#include <string>
#include <string_view>

inline constexpr std::string_view kGetdisksMarker = "SELECT * FROM disks ORDER BY disk ASC;''''';getdisks";
inline constexpr std::string_view kDiskBrowseSeparator = ";''''';";

// How long the catalogs of one request may take, all together: opening them, waiting for their
// locks and every statement. At the end of it the statement that runs is interrupted and treated
// as one the engine rejected, and no further catalog of the request is opened, so that no request
// holds up the requests behind it for much longer than this.
inline constexpr std::chrono::milliseconds kCatalogTimeLimit{10'000};
std::chrono::milliseconds catalogStatementTimeLimit();
void setCatalogStatementTimeLimit(std::chrono::milliseconds limit);  // before the worker starts

// The longest condition sent to a catalog, checked before it is sanitised or prepared; a longer
// one is treated as a condition the engine rejected.
inline constexpr size_t kMaxConditionBytes = 100'000;

// For each database path of the request in order: its disks are loaded, and either its disks
// (a getdisks browse) or its matching rows (a search or disk browse) are appended to the answer.
void runDatabaseLoop(RequestState& state);

// A disk browse condition "W;''''';N" becomes "W AND (disk=N)".
std::string diskBrowseCondition(std::string_view condition);
