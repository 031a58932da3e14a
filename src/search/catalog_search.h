#pragma once
// The step of serving a request that reads the catalog files it names. Worker thread.

#include "search/request_state.h"

#include <chrono>
#include <string>
#include <string_view>

inline constexpr std::string_view kGetdisksMarker = "SELECT * FROM disks ORDER BY disk ASC;''''';getdisks";
inline constexpr std::string_view kDiskBrowseSeparator = ";''''';";

// How long the catalogs and the file-name search of one request may take, all together: opening
// the catalogs, waiting for their locks, reading their disks, every statement, and the file-name
// search after them. At the end of it the statement that runs is interrupted and treated as one
// the engine rejected, no further catalog of the request is opened and the file-name search is
// stopped, so that no request holds up the requests behind it for much longer than this.
inline constexpr std::chrono::milliseconds kCatalogTimeLimit{10'000};
std::chrono::milliseconds catalogStatementTimeLimit();
void setCatalogStatementTimeLimit(std::chrono::milliseconds limit);  // before the worker starts

// The request's deadline; one from now when serving set none.
RequestState::Clock::time_point requestDeadline(RequestState& state);

// The longest condition sent to a catalog, checked before it is sanitised or prepared; a longer
// one is treated as a condition the engine rejected.
inline constexpr size_t kMaxConditionBytes = 100'000;

// For each database path of the request in order: its disks are loaded, and either its disks
// (a getdisks browse) or its matching rows (a search or disk browse) are appended to the answer.
void runDatabaseLoop(RequestState& state);

// A disk browse condition "W;''''';N" becomes "W AND (disk=N)".
std::string diskBrowseCondition(std::string_view condition);
