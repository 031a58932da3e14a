#pragma once
// The search answer: its head, its record lines and its tail, its budget, and the search log
// message. Pure functions but for the budget, an atomic setting; any thread.

#include "search/request_state.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

// The most one answer may hold, tail included. An answer that reaches it takes no further record
// of any kind, still ends with its tail, and its log line says it was cut.
inline constexpr size_t kAnswerBudget = size_t{256} << 20;
size_t answerBudget();
void setAnswerBudget(size_t bytes);  // for tests; before the worker starts

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

// What comes before each attribute value of a record line, in attribute order; then the end.
inline constexpr std::array<std::string_view, 10> kRecordPieces = {
    "\t\t<record ppath=\"", "\" name=\"", "\" itype=\"", "\" disk=\"", "\" size=\"",
    "\" dcr=\"", "\" dmd=\"", "\" vis=\"", "\" mt=\"", "\" mc=\""};
inline constexpr std::string_view kTightRecordEnd = "\"/>\n";
inline constexpr std::string_view kSpacedRecordEnd = "\" />\n";
// The bytes of a record line besides its values.
size_t recordFrameSize(RecordEnd end);

// One record line: two tabs, the record element, the line end.
void appendRecordLine(std::string& answer, const RecordAttributes& record, RecordEnd end);
size_t recordLineSize(const RecordAttributes& record, RecordEnd end);

// Whether this many more bytes still fit in the answer with its tail.
bool fitsInAnswer(const RequestState& state, size_t bytes);
// Whether a record line of this size is taken: once one does not fit, the answer is cut and takes
// no record after it, however small.
bool takeRecord(RequestState& state, size_t recordBytes);
// As takeRecord, appending the line when it fits.
bool appendRecordWithinBudget(RequestState& state, const RecordAttributes& record, RecordEnd end);

// "SQL action: Query: <condition>; results: <count>; ticks: <ticks>", and when the answer was cut
// "; answer cut: budget <bytes> bytes" or "; answer cut: time limit <seconds> s" after it.
std::string searchLogMessage(std::string_view condition, int32_t resultCount, int32_t ticks,
                             AnswerCut answerCut = AnswerCut::None);

// A duration in seconds as the log writes it: "10", "0.25".
std::string secondsText(std::chrono::milliseconds duration);
