#pragma once
// What the worker holds while it serves one request: the request's items, the answer being
// built and the counts. Made new for every request; owned by the worker thread alone.

#include "search/disk_dictionary.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Why an answer took no further record: its budget was reached, or its deadline passed before
// every step had run (catalogs left unopened or a statement interrupted, the file-name search
// stopped). The first reason stays.
enum class AnswerCut { None, Budget, TimeLimit };

struct RequestState {
    using Clock = std::chrono::steady_clock;

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
    AnswerCut answerCut = AnswerCut::None;    // set once; the answer then takes no more records
    int32_t startTicks = 0;
    // The end of the time that the catalogs and the file-name search of the request share, set
    // when serving begins; none until then (the first step that needs one then sets it).
    Clock::time_point deadline = Clock::time_point::max();
};

// Marks the answer cut for this reason, unless it was cut already.
inline void cutAnswer(RequestState& state, AnswerCut reason) {
    if (state.answerCut == AnswerCut::None) state.answerCut = reason;
}

// Reads the items of a request text into a fresh state (fields the request lacks stay empty).
RequestState requestStateFrom(std::string_view request);
