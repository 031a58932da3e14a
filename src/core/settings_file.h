#pragma once
// The settings file "preferences-server.xml": its fixed nine-line form and the lenient reader
// that finds the variable elements by plain text search. Pure functions; any thread.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

inline constexpr std::string_view kSettingsFileName = "preferences-server.xml";

struct SettingsNumbers {
    int32_t port = 7000;
    int32_t limitConnections = 10;
    int32_t limitResultsTotal = 2000;
    int32_t limitResultsDatabase = 500;
};

// The whole file text: nine lines, each ending with the line end. The Spotlight line always
// says "false": the switch itself is not kept.
std::string settingsFileText(const SettingsNumbers& numbers);

// Name to value of every variable element in the settings body; names are lowered to ASCII
// lower case, and a later element of the same name replaces the earlier value.
std::map<std::string, std::string> readSettingsVariables(std::string_view content);
