#pragma once
// The request text: fields joined by "]':'[", the second one the command. Pure functions;
// any thread.

#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view kFieldSeparator = "]':'[";
inline constexpr std::string_view kPathSeparator = "::";
inline constexpr std::string_view kViewSeparator = "%%__''''__%%";

// The fields of a request; views into its text.
std::vector<std::string_view> splitRequest(std::string_view request);

// Field i of a request. A field the request lacks is an error of the caller, raised as an
// out-of-bounds error so that it reaches the unhandled-exception handler.
std::string_view requiredField(const std::vector<std::string_view>& fields, size_t index);

// Field i, or empty when the request lacks it.
std::string_view optionalField(const std::vector<std::string_view>& fields, size_t index);
