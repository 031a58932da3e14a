#pragma once
// The protocol's texts as a client writes and reads them, written out here apart from the
// server's own constants, so that a wrong one there shows. Pure functions; any thread.

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

inline constexpr std::string_view kSeparator = "]':'[";
inline constexpr std::string_view kGetdisks = "SELECT * FROM disks ORDER BY disk ASC;''''';getdisks";
inline constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n\n";
// The attributes of a record, in the order every record has them.
inline constexpr std::string_view kRecordAttributes[] = {"ppath", "name", "itype", "disk", "size",
                                                         "dcr",   "dmd",  "vis",   "mt",   "mc"};

inline std::string fields(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (auto part = parts.begin(); part != parts.end(); ++part)
        text.append(part == parts.begin() ? "" : kSeparator).append(*part);
    return text;
}

// A request from computer "fault test" and user `label`, its catalog paths joined by "::"; a
// search answer repeats `view`.
inline std::string request(std::string_view command, const std::vector<std::string>& paths = {},
                           std::string_view condition = "", std::string_view view = "v",
                           std::string_view label = "tester", std::string_view spotlight = "") {
    std::string joined;
    for (size_t i = 0; i < paths.size(); ++i) joined.append(i ? "::" : "").append(paths[i]);
    return fields({"", command, "fault test", label, "", joined, condition, view, spotlight});
}

// The first lines of an immediate answer, which say who answers.
inline std::string answerHead(std::string_view action, std::string_view system, std::string_view address) {
    return std::string(kDeclaration) + "<answer>\n<data appcode=\"Vaxo\" action=\"" + std::string(action) +
           "\" address=\"" + std::string(address) + "\" status=\"ready\" system=\"" + std::string(system) + "\" />\n";
}

inline std::string pong(std::string_view system, std::string_view address = "127.0.0.1") {
    return answerHead("vaxo-pong", system, address) + "</answer>\n";
}

inline std::string databaseList(std::string_view system, const std::vector<std::string>& paths) {
    std::string text = answerHead("vaxo-dbzoznam", system, "127.0.0.1") + "<databases>\n";
    for (const std::string& path : paths)
        text += "<database name=\"" + std::filesystem::path(path).filename().string() + "\" path=\"" + path + "\" />\n";
    return text + "</databases>\n</answer>\n";
}

inline std::string searchAnswer(std::string_view condition, std::string_view view = "", std::string_view window = "",
                                std::string_view records = "") {
    return std::string(kDeclaration) + "<result>\n\t<description window=\"" + std::string(window) + "\" tab=\"" +
           std::string(view) + "\" sqlquery=\"" + std::string(condition) + "\" />\n\t<records>\n" +
           std::string(records) + "\t</records>\n</result>\n";
}

inline bool isCompleteSearchAnswer(std::string_view answer) {
    return answer.starts_with(std::string(kDeclaration) + "<result>\n\t<description ") &&
           answer.ends_with("\t</records>\n</result>\n") && answer.find(" />\n\t<records>\n") != std::string_view::npos;
}

inline std::vector<std::string> linesStartingWith(std::string_view text, std::string_view prefix) {
    std::vector<std::string> lines;
    std::istringstream in{std::string(text)};
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(prefix)) lines.push_back(line);
    return lines;
}

// Values may hold line feeds and the disk parts raw quotes, so records are cut at the attribute
// names rather than at line ends; mc, cleaned in every record, ends each one. Each keeps its line end.
inline std::vector<std::string> recordLines(std::string_view answer) {
    std::vector<std::string> lines;
    constexpr std::string_view kStart = "\t\t<record ppath=\"";
    for (size_t at = answer.find(kStart); at != std::string_view::npos; at = answer.find(kStart, at + 1)) {
        const size_t end = answer.find('\n', answer.find('"', answer.find("\" mc=\"", at) + 6));
        if (end == std::string_view::npos) break;
        lines.emplace_back(answer.substr(at, end + 1 - at));
    }
    return lines;
}

// One attribute of a record line, read up to where the next attribute starts.
inline std::string attribute(std::string_view line, std::string_view name) {
    const auto* const position = std::find(std::begin(kRecordAttributes), std::end(kRecordAttributes), name);
    const size_t start = line.find(" " + std::string(name) + "=\"");
    if (position == std::end(kRecordAttributes) || start == std::string_view::npos) return {};
    const size_t from = start + name.size() + 3;
    const bool last = position + 1 == std::end(kRecordAttributes);
    const size_t to = last ? line.find('"', from) : line.find("\" " + std::string(position[1]) + "=\"", from);
    return to == std::string_view::npos ? std::string() : std::string(line.substr(from, to - from));
}

// A catalog record line ("/>" right after the last quote) with the ten values in order.
inline std::string recordLine(std::initializer_list<std::string_view> values) {
    std::string line = "\t\t<record";
    const std::string_view* name = std::begin(kRecordAttributes);
    for (std::string_view value : values) line.append(" ").append(*name++).append("=\"").append(value).append("\"");
    return line + "/>\n";
}

// Records per catalog path, which ends each record's disk attribute.
inline std::map<std::string, int> recordsPerCatalog(std::string_view answer) {
    std::map<std::string, int> counts;
    for (const std::string& line : recordLines(answer)) {
        const std::string disk = attribute(line, "disk");
        const size_t cut = disk.rfind("::/::");
        ++counts[cut == std::string::npos ? disk : disk.substr(cut + 5)];
    }
    return counts;
}

}  // namespace test_support
