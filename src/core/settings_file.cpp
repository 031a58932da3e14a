#include "core/settings_file.h"

#include "core/app.h"
#include "core/gfs_state.h"
#include "platform/app_folder.h"
#include "platform/errors.h"
#include "platform/numbers.h"
#include "platform/text_rule.h"
#include "platform/text_stream.h"

using platform::text::findNoCase;

namespace {

std::string variableLine(std::string_view name, int32_t value) {
    return "     <variable name=\"" + std::string(name) + "\" value=\"" + platform::Str(value) + "\" />";
}

std::string_view settingsBody(std::string_view content) {
    const size_t open = findNoCase(content, "<settings>");
    if (open == std::string_view::npos) return {};
    std::string_view body = content.substr(open + 10);
    if (const size_t again = findNoCase(body, "<settings>"); again != std::string_view::npos) body = body.substr(0, again);
    if (const size_t close = findNoCase(body, "</settings>"); close != std::string_view::npos) body = body.substr(0, close);
    return body;
}

// The text between quote number `first` and the next quote (quotes counted from 1), if both exist.
std::optional<std::string_view> betweenQuotes(std::string_view element, int first) {
    size_t at = std::string_view::npos;
    for (int i = 0; i < first; ++i) {
        at = element.find('"', at == std::string_view::npos ? 0 : at + 1);
        if (at == std::string_view::npos) return std::nullopt;
    }
    const size_t end = element.find('"', at + 1);
    if (end == std::string_view::npos) return std::nullopt;
    return element.substr(at + 1, end - at - 1);
}

platform::FolderItem settingsFile() {
    const auto folder = platform::GetFolderItem("");
    if (!folder) throw platform::NilObjectException("the application's folder cannot be resolved");
    return folder->Child(kSettingsFileName);
}

}  // namespace

std::string settingsFileText(const SettingsNumbers& numbers) {
    const std::string_view eol = platform::EndOfLine;
    std::string text;
    for (const std::string& line : {
             std::string("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>"),
             std::string(),
             std::string("<settings>"),
             variableLine("port", numbers.port),
             variableLine("limit_connections", numbers.limitConnections),
             variableLine("limit_results_total", numbers.limitResultsTotal),
             variableLine("limit_results_database", numbers.limitResultsDatabase),
             std::string("     <variable name=\"use_spotlight\" value=\"false\" />"),
             std::string("</settings>"),
         }) {
        text.append(line).append(eol);
    }
    return text;
}

std::map<std::string, std::string> readSettingsVariables(std::string_view content) {
    std::map<std::string, std::string> variables;
    const std::string_view body = settingsBody(content);
    size_t position = 0;
    while (true) {
        const size_t start = findNoCase(body, "<variable ", position);
        if (start == std::string_view::npos) break;
        const size_t close = body.find("/>", start);
        if (close == std::string_view::npos) break;  // an unclosed last element is ignored
        const std::string_view element = body.substr(start, close + 2 - start);
        position = close + 2;
        // An element with fewer than four quotes names no value; it is skipped.
        const auto name = betweenQuotes(element, 1);
        const auto value = betweenQuotes(element, 3);
        if (name && value) variables[platform::text::lowerAscii(*name)] = std::string(*value);
    }
    return variables;
}

void app::xmlprefs(bool writeFile) {
    const platform::FolderItem file = settingsFile();
    if (writeFile || !file.Exists()) {
        const SettingsNumbers numbers{PREFportnumber, PREFmaxconnections, PREFmaxresultstotal, PREFmaxresultsdatabase};
        // Written beside the old file and renamed over it, so that a failure never loses the settings.
        platform::replaceFileAtomically(file, settingsFileText(numbers));
        if (writeFile) return;
    }
    const auto stream = platform::TextInputStream::Open(file);
    if (!stream) throw platform::NilObjectException("the settings file cannot be opened");
    const std::string content = stream->ReadAll();
    stream->Close();

    const auto variables = readSettingsVariables(content);
    const auto apply = [&variables](const char* name, std::atomic<int32_t>& setting) {
        if (const auto it = variables.find(name); it != variables.end())
            setting = platform::toInt32(platform::Val(it->second));
    };
    apply("port", PREFportnumber);
    apply("limit_connections", PREFmaxconnections);
    apply("limit_results_total", PREFmaxresultstotal);
    apply("limit_results_database", PREFmaxresultsdatabase);
    if (candospotlight) {
        const auto it = variables.find("use_spotlight");
        if (it != variables.end() && platform::text::equalsNoCase(it->second, "true")) aaamksptlchck = true;
    }
}
