#pragma once
// The steps of serving a request that read catalogs and the file-name index. Worker thread.

#include "search/request_state.h"

// For each database path of the request in order: its records are appended to the answer.
void runDatabaseLoop(RequestState& state);

// The file-name index hits for the request's Spotlight text, after the database loop.
void runSpotlightSearch(RequestState& state);
