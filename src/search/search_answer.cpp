#include "search/search_answer.h"

#include "platform/numbers.h"
#include "platform/text_rule.h"
#include "platform/text_stream.h"
#include "search/catalog_search.h"
#include "search/immediate_answers.h"
#include "search/request_fields.h"

#include <atomic>
#include <cstdio>

using platform::EndOfLine;

static_assert(EndOfLine == "\n", "the record and tail texts carry the line end");

namespace {

std::atomic<size_t> budget{kAnswerBudget};

constexpr std::string_view kTail = "\t</records>\n</result>\n";

// Beyond this size an answer grows to its whole budget at once: growing by doubling would hold
// the old and the new copy at once, up to twice the budget between them.
constexpr size_t kGrowToBudgetFrom = size_t{16} << 20;

}  // namespace

size_t answerBudget() { return budget.load(); }

void setAnswerBudget(size_t bytes) { budget = bytes; }

RequestState requestStateFrom(std::string_view request) {
    const std::vector<std::string_view> fields = splitRequest(request);
    RequestState state;
    state.command = optionalField(fields, 1);
    if (fields.size() > 5 && !fields[5].empty())
        for (std::string_view path : platform::text::splitViewsNoCase(fields[5], kPathSeparator))
            state.databasePaths.emplace_back(path);
    state.condition = optionalField(fields, 6);
    state.view = optionalField(fields, 7);
    state.windowValue = windowValueOf(state.view);
    state.spotlightText = optionalField(fields, 8);
    return state;
}

std::string windowValueOf(std::string_view view) {
    const auto subFields = platform::text::splitViewsNoCase(view, kViewSeparator);
    return subFields.size() > 3 ? std::string(subFields[3]) : std::string();
}

std::string answerHead(std::string_view windowValue, std::string_view view, std::string_view condition) {
    std::string head(kXmlDeclaration);
    head.append(EndOfLine).append(EndOfLine);
    head.append("<result>").append(EndOfLine);
    head.append("\t<description window=\"").append(windowValue);
    head.append("\" tab=\"").append(view);
    head.append("\" sqlquery=\"").append(condition);
    head.append("\" />").append(EndOfLine);
    head.append("\t<records>").append(EndOfLine);
    return head;
}

void appendAnswerTail(std::string& answer) { answer.append(kTail); }

namespace {

std::array<std::string_view, 10> valuesOf(const RecordAttributes& r) {
    return {r.ppath, r.name, r.itype, r.disk, r.size, r.dcr, r.dmd, r.vis, r.mt, r.mc};
}

}  // namespace

size_t recordFrameSize(RecordEnd end) {
    size_t size = (end == RecordEnd::Tight ? kTightRecordEnd : kSpacedRecordEnd).size();
    for (std::string_view piece : kRecordPieces) size += piece.size();
    return size;
}

void appendRecordLine(std::string& answer, const RecordAttributes& record, RecordEnd end) {
    const auto values = valuesOf(record);
    for (size_t i = 0; i < values.size(); ++i) answer.append(kRecordPieces[i]).append(values[i]);
    answer.append(end == RecordEnd::Tight ? kTightRecordEnd : kSpacedRecordEnd);
}

size_t recordLineSize(const RecordAttributes& record, RecordEnd end) {
    size_t size = recordFrameSize(end);
    for (std::string_view value : valuesOf(record)) size += value.size();
    return size;
}

bool fitsInAnswer(const RequestState& state, size_t bytes) {
    const size_t limit = answerBudget();
    const size_t used = state.answer.size() + kTail.size();
    return used <= limit && bytes <= limit - used;
}

bool takeRecord(RequestState& state, size_t recordBytes) {
    if (state.answerCut != AnswerCut::None) return false;
    if (!fitsInAnswer(state, recordBytes)) {
        cutAnswer(state, AnswerCut::Budget);
        return false;
    }
    std::string& answer = state.answer;
    const size_t needed = answer.size() + recordBytes;
    if (needed > answer.capacity() && needed > kGrowToBudgetFrom) answer.reserve(answerBudget());
    return true;
}

bool appendRecordWithinBudget(RequestState& state, const RecordAttributes& record, RecordEnd end) {
    if (!takeRecord(state, recordLineSize(record, end))) return false;
    appendRecordLine(state.answer, record, end);
    return true;
}

std::string secondsText(std::chrono::milliseconds duration) {
    const auto ms = duration.count();
    std::string text = std::to_string(ms / 1000);
    if (const auto fraction = ms % 1000; fraction != 0) {
        char digits[8];
        std::snprintf(digits, sizeof digits, ".%03d", static_cast<int>(fraction < 0 ? -fraction : fraction));
        text.append(digits);
        while (text.back() == '0') text.pop_back();
    }
    return text;
}

std::string searchLogMessage(std::string_view condition, int32_t resultCount, int32_t ticks, AnswerCut answerCut) {
    std::string message("SQL action: Query: ");
    message.append(condition).append("; results: ").append(platform::Str(resultCount));
    message.append("; ticks: ").append(platform::Str(ticks));
    if (answerCut == AnswerCut::Budget)
        message.append("; answer cut: budget ").append(std::to_string(answerBudget())).append(" bytes");
    if (answerCut == AnswerCut::TimeLimit)
        message.append("; answer cut: time limit ").append(secondsText(catalogStatementTimeLimit())).append(" s");
    return message;
}
