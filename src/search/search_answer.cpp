#include "search/search_answer.h"

#include "platform/numbers.h"
#include "platform/text_rule.h"
#include "platform/text_stream.h"
#include "search/immediate_answers.h"
#include "search/request_fields.h"

using platform::EndOfLine;

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

void appendAnswerTail(std::string& answer) {
    answer.append("\t</records>").append(EndOfLine);
    answer.append("</result>").append(EndOfLine);
}

void appendRecordLine(std::string& answer, const RecordAttributes& r, RecordEnd end) {
    answer.append("\t\t<record ppath=\"").append(r.ppath);
    answer.append("\" name=\"").append(r.name);
    answer.append("\" itype=\"").append(r.itype);
    answer.append("\" disk=\"").append(r.disk);
    answer.append("\" size=\"").append(r.size);
    answer.append("\" dcr=\"").append(r.dcr);
    answer.append("\" dmd=\"").append(r.dmd);
    answer.append("\" vis=\"").append(r.vis);
    answer.append("\" mt=\"").append(r.mt);
    answer.append("\" mc=\"").append(r.mc);
    answer.append(end == RecordEnd::Tight ? "\"/>" : "\" />").append(EndOfLine);
}

std::string searchLogMessage(std::string_view condition, int32_t resultCount, int32_t ticks) {
    std::string message("SQL action: Query: ");
    message.append(condition).append("; results: ").append(platform::Str(resultCount));
    message.append("; ticks: ").append(platform::Str(ticks));
    return message;
}
