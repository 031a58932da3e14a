#include "search/request_dispatch.h"

#include "core/activity_log.h"
#include "core/app.h"
#include "search/immediate_answers.h"
#include "search/request_fields.h"
#include "search/searchmaster.h"
#include "platform/text_rule.h"

using platform::text::equalsNoCase;

namespace {

std::string searchLogMessage(const std::vector<std::string_view>& fields) {
    const std::string_view command = fields[1];
    // "search" or "browse": the piece after the first hyphen, as the client wrote it.
    const auto pieces = platform::text::splitViewsNoCase(command, "-");
    const std::string_view word = pieces.size() > 1 ? pieces[1] : std::string_view();
    const std::string_view label = requiredField(fields, 3);
    const std::string_view detail = requiredField(fields, 2);
    const std::string_view condition = requiredField(fields, 6);
    const std::string_view paths = requiredField(fields, 5);
    std::string message;
    message.append(word).append(": ").append(label).append(" (").append(detail).append("), SQL:");
    message.append(condition).append(" dbs: ");
    message.append(platform::text::replaceAllNoCase(paths, kPathSeparator, " , "));
    return message;
}

std::string greetingLogMessage(std::string_view prefix, const std::vector<std::string_view>& fields) {
    std::string message(prefix);
    message.append(requiredField(fields, 3)).append(" (").append(requiredField(fields, 2)).append(") ");
    return message;
}

}  // namespace

void dispatchRequest(std::string_view request, platform::TCPSocket& connection) {
    const std::vector<std::string_view> fields = splitRequest(request);
    const std::string_view command = fields.size() > 1 ? fields[1] : std::string_view();
    const bool hasSeparator = fields.size() > 1;

    if (hasSeparator && equalsNoCase(command, "vaxo-ping")) {
        gfs::connakcie(command, connection);
        gfs::logujakciu(greetingLogMessage("ping: ", fields));
    } else if (hasSeparator && equalsNoCase(command, "vaxo-getlist")) {
        gfs::connakcie(command, connection);
        gfs::logujakciu(greetingLogMessage("db list: ", fields));
    } else if (hasSeparator && (equalsNoCase(command, "vaxo-search") || equalsNoCase(command, "vaxo-browse"))) {
        // A request too short to be logged fails here, before it is queued.
        gfs::logujakciu(searchLogMessage(fields));
        searchmaster::enqueue(std::string(request), connection);
    } else {
        gfs::connakcie("", connection);
    }
}
