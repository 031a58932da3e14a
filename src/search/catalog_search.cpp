#include "search/catalog_search.h"

// Catalog files and the file-name index are not read yet: no request gets records from them.

void runDatabaseLoop(RequestState&) {}

void runSpotlightSearch(RequestState&) {}
