// The lenient settings reader on arbitrary text, and the fixed form read back.

#include "core/settings_file.h"
#include "fuzz_support.h"
#include "platform/numbers.h"

#include <cstring>

namespace {

SettingsNumbers numbersFrom(const std::map<std::string, std::string>& variables) {
    SettingsNumbers numbers;
    const auto apply = [&variables](const char* name, int32_t& number) {
        if (const auto it = variables.find(name); it != variables.end()) number = platform::toInt32(platform::Val(it->second));
    };
    apply("port", numbers.port);
    apply("limit_connections", numbers.limitConnections);
    apply("limit_results_total", numbers.limitResultsTotal);
    apply("limit_results_database", numbers.limitResultsDatabase);
    return numbers;
}

// The server writes the file and reads it at the next start: every number must come back.
void checkRoundTrip(const SettingsNumbers& numbers) {
    const auto back = readSettingsVariables(settingsFileText(numbers));
    FUZZ_CHECK(back.size() == 5);
    const auto again = numbersFrom(back);
    FUZZ_CHECK(again.port == numbers.port && again.limitConnections == numbers.limitConnections);
    FUZZ_CHECK(again.limitResultsTotal == numbers.limitResultsTotal);
    FUZZ_CHECK(again.limitResultsDatabase == numbers.limitResultsDatabase);
    FUZZ_CHECK(back.at("port") == platform::Str(numbers.port));
    FUZZ_CHECK(back.count("use_spotlight") && back.at("use_spotlight") == "false");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto variables = readSettingsVariables(input);
    for (const auto& [name, value] : variables) {
        FUZZ_CHECK(name.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ\"") == std::string::npos);
        FUZZ_CHECK(value.find('"') == std::string::npos);
        FUZZ_CHECK(input.find(value) != std::string_view::npos);
    }
    checkRoundTrip(numbersFrom(variables));

    // Any four numbers at all, the extremes included.
    if (size >= 16) {
        int32_t raw[4];
        std::memcpy(raw, data, sizeof raw);
        checkRoundTrip(SettingsNumbers{raw[0], raw[1], raw[2], raw[3]});
    }
    return 0;
}
