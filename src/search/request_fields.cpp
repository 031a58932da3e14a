#include "search/request_fields.h"

#include "platform/errors.h"
#include "platform/text_rule.h"

std::vector<std::string_view> splitRequest(std::string_view request) {
    return platform::text::splitViewsNoCase(request, kFieldSeparator);
}

std::string_view requiredField(const std::vector<std::string_view>& fields, size_t index) {
    if (index >= fields.size())
        throw platform::OutOfBoundsException("the request has no field " + std::to_string(index));
    return fields[index];
}

std::string_view optionalField(const std::vector<std::string_view>& fields, size_t index) {
    return index < fields.size() ? fields[index] : std::string_view();
}
