// The settings file: the lenient text-search reader, and app::xmlprefs reading and writing real
// files in a private application folder.

#include "core/settings_file.h"
#include "core_fixture.h"

#include <unistd.h>

#include <array>
#include <limits>
#include <map>

namespace {

using namespace qvtest;
using Numbers = std::array<int32_t, 4>;
constexpr int32_t kMax = std::numeric_limits<int32_t>::max(), kMin = std::numeric_limits<int32_t>::min();

std::string element(const std::string& name, const std::string& value) {
    return "<variable name=\"" + name + "\" value=\"" + value + "\" />";
}
std::string body(const std::string& elements) { return "<settings>\n" + elements + "\n</settings>\n"; }
Numbers numbers(const app& a) {
    return {a.PREFportnumber, a.PREFmaxconnections, a.PREFmaxresultstotal, a.PREFmaxresultsdatabase};
}

TEST(SettingsReader, FindsVariableElementsByPlainTextSearch) {
    const std::pair<std::string, std::map<std::string, std::string>> cases[] = {
        {element("port", "1"), {}},
        {element("port", "1") + body(element("limit_connections", "3")) + element("port", "2"), {{"limit_connections", "3"}}},
        {"<settings>" + element("port", "1") + "<settings>" + element("port", "2") + "</settings>", {{"port", "1"}}},
        {"<settings>" + element("port", "5"), {{"port", "5"}}},
        {body(element("Port", "1") + element("PORT", "2") + element("limit_conNECTIONS", "4")),
         {{"port", "2"}, {"limit_connections", "4"}}},
        {body("<!-- " + element("port", "3") + " -->"), {{"port", "3"}}},
        {body("<variable name=\"port\" value=5 />" + element("limit_connections", "4")), {{"limit_connections", "4"}}},
        {body("<variables name=\"port\" value=\"1\" /><variable\tname=\"port\" value=\"2\" />"), {}},
        {body(element("port", "1") + "<variable name=\"limit_connections\" value=\"2\" >"), {{"port", "1"}}},
        {body("<variable id=\"port\" other=\"42\" ignored=\"x\" />"), {{"port", "42"}}},
    };
    for (const auto& [content, expected] : cases) EXPECT_EQ(readSettingsVariables(content), expected) << content;
}

TEST(SettingsXmlprefs, ReadsEachNameIntoItsSettingAndWritesByReplacingTheFile) {
    CoreRun run;
    const std::string old = body(element("PORT", "8080") + element("Limit_Connections", "-3") +
                                 element("limit_results_total", "0") + element("LIMIT_RESULTS_DATABASE", "2147483647")) +
                            std::string(4000, 'x');
    writeFile(run.settings(), old);
    run.application.xmlprefs(false);
    EXPECT_EQ(numbers(run.application), (Numbers{8080, -3, 0, kMax}));

    // A second name for the old file shows whether it was overwritten in place or replaced.
    ASSERT_EQ(::link(run.settings().c_str(), (run.root / "old").c_str()), 0);
    run.application.xmlprefs(true);
    EXPECT_EQ(readFile(run.settings()), settingsFileText({8080, -3, 0, kMax}));
    EXPECT_EQ(readFile(run.root / "old"), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(run.folder()), {}), 1) << "a temporary file was left behind";
    // Every rewrite closes what it opened: a leak shows as descriptors that name the folder.
    for (int i = 0; i < 20; ++i) run.application.xmlprefs(true);
    for (const std::string& target : test_support::openDescriptors())
        EXPECT_EQ(target.find(run.folder().string()), std::string::npos) << target;
    run.application.PREFmaxconnections = 1;
    run.application.xmlprefs(false);
    EXPECT_EQ(numbers(run.application), (Numbers{8080, -3, 0, kMax}));

    const std::pair<const char*, int32_t> values[] = {{"+17abc", 17}, {"-12.9", -12}, {"1.5e3", 1500}, {"abc", 0},
                                                      {"", 0}, {"99999999999", kMax}, {"-99999999999", kMin}};
    for (const auto& [text, expected] : values) {
        // Attributes in the other order name nothing the server knows.
        writeFile(run.settings(), body(element("port", text) + "<variable value=\"9\" name=\"limit_results_total\" />"));
        run.application.xmlprefs(false);
        EXPECT_EQ(numbers(run.application), (Numbers{expected, -3, 0, kMax})) << text;
    }

    const std::string last = readFile(run.settings());
    if (!run.lock(run.folder())) GTEST_SKIP() << "chattr +i is not available here";
    EXPECT_NO_THROW(run.application.xmlprefs(true));
    EXPECT_EQ(readFile(run.settings()), last);
}

}  // namespace
