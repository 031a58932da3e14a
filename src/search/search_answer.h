#pragma once
// The search answer: its head, its record lines and its tail, and the search log message.
// Pure functions; any thread.

#include "search/request_state.h"

#include <string>
#include <string_view>

// The fourth sub-field of a view ("%%__''''__%%" between sub-fields), or empty.
std::string windowValueOf(std::string_view view);

// The five head lines: declaration, empty line, "<result>", the description element, "<records>".
std::string answerHead(std::string_view windowValue, std::string_view view, std::string_view condition);

// The two tail lines.
void appendAnswerTail(std::string& answer);

struct RecordAttributes {
    std::string_view ppath, name, itype, disk, size, dcr, dmd, vis, mt, mc;
};

enum class RecordEnd {
    Tight,   // "/>" right after the last quote: catalog rows, browse disks, the over-limit record
    Spaced,  // " />": file-name search hits
};

// One record line: two tabs, the record element, the line end.
void appendRecordLine(std::string& answer, const RecordAttributes& record, RecordEnd end);

// "SQL action: Query: <condition>; results: <count>; ticks: <ticks>".
std::string searchLogMessage(std::string_view condition, int32_t resultCount, int32_t ticks);
