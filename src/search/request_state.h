#pragma once
// What the worker holds while it serves one request: the request's items, the answer being
// built and the counts. Made new for every request; owned by the worker thread alone.

#include "search/disk_dictionary.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct RequestState {
    std::string command;                      // F1
    std::vector<std::string> databasePaths;   // F5 split at "::"
    std::string condition;                    // F6; a disk browse rewrites it
    std::string view;                         // F7
    std::string windowValue;                  // the fourth sub-field of F7
    std::string spotlightText;                // F8

    std::string answer;
    int32_t resultCount = 0;                  // database row records written
    int32_t runningTotal = 0;                 // matching rows counted over the databases
    DiskDictionary diskDictionary;
    bool conditionRewritten = false;          // a disk browse rewrites once per request
    bool answerCut = false;                   // the answer reached its budget and takes no more records
    int32_t startTicks = 0;
};

// Reads the items of a request text into a fresh state (fields the request lacks stay empty).
RequestState requestStateFrom(std::string_view request);
