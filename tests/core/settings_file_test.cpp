// The settings file: its fixed written form, the lenient text-search reader, and app::xmlprefs
// on real files in a private application folder.

#include "core/app.h"
#include "core/settings_file.h"
#include "platform/errors.h"
#include "test_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using qvtest::readFile;
using qvtest::TestFolder;
using qvtest::writeFile;
using Variables = std::map<std::string, std::string>;

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

const std::string kDefaultFile =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n"
    "\n"
    "<settings>\n"
    "     <variable name=\"port\" value=\"7000\" />\n"
    "     <variable name=\"limit_connections\" value=\"10\" />\n"
    "     <variable name=\"limit_results_total\" value=\"2000\" />\n"
    "     <variable name=\"limit_results_database\" value=\"500\" />\n"
    "     <variable name=\"use_spotlight\" value=\"false\" />\n"
    "</settings>\n";

std::string element(const std::string& name, const std::string& value) {
    return "<variable name=\"" + name + "\" value=\"" + value + "\" />";
}

// The four numeric settings of an application, compared at once.
using Numbers = std::array<int32_t, 4>;
Numbers numbers(const app& a) {
    return {a.PREFportnumber, a.PREFmaxconnections, a.PREFmaxresultstotal, a.PREFmaxresultsdatabase};
}

std::string settingsBody(const std::string& elements) { return "<settings>\n" + elements + "\n</settings>\n"; }

TEST(SettingsFileText, IsTheFixedNineLineFormWithSignedNumbers) {
    EXPECT_EQ(settingsFileText(SettingsNumbers{}), kDefaultFile);
    // Only the four numbers change; negative ones carry a minus sign.
    std::string expected = kDefaultFile;
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"\"7000\"", "\"-1\""},
                                   {"\"10\"", "\"0\""},
                                   {"\"2000\"", "\"-2147483648\""},
                                   {"\"500\"", "\"2147483647\""}})
        expected.replace(expected.find(from), from.size(), to);
    EXPECT_EQ(settingsFileText({-1, 0, kMin, kMax}), expected);
}

TEST(SettingsReader, FindsVariableElementsByPlainTextSearch) {
    struct Case {
        const char* what;
        std::string content;
        Variables expected;
    };
    const Case cases[] = {
        {"empty text", "", {}},
        {"no settings tag at all", element("port", "1"), {}},
        {"elements outside the tags are ignored",
         element("port", "1") + "junk <settings>" + element("limit_connections", "3") + "</settings>" + element("port", "2"),
         {{"limit_connections", "3"}}},
        {"a second settings tag ends the body",
         "<settings>" + element("port", "1") + "<settings>" + element("port", "2") + "</settings>", {{"port", "1"}}},
        {"without a closing tag the body runs to the end", "<settings>" + element("port", "5"), {{"port", "5"}}},
        {"a later element wins and names ignore case",
         settingsBody(element("Port", "1") + element("PORT", "2") + element("limit_CONNECTIONS", "4")),
         {{"port", "2"}, {"limit_connections", "4"}}},
        {"an element inside a comment counts", settingsBody("<!-- " + element("port", "3") + " -->"), {{"port", "3"}}},
        {"fewer than four quotes: skipped",
         settingsBody("<variable name=\"port\" value=5 />" + element("limit_connections", "4")),
         {{"limit_connections", "4"}}},
        {"three quotes: skipped", settingsBody("<variable name=\"port\" value=\"5 />"), {}},
        {"the blank after the tag name is required",
         settingsBody("<variables name=\"port\" value=\"1\" /><variable\tname=\"port\" value=\"2\" />"), {}},
        {"an element without a later /> ends the scan",
         settingsBody(element("port", "1") + "<variable name=\"limit_connections\" value=\"2\" >"), {{"port", "1"}}},
        {"an empty value is kept", settingsBody(element("port", "")), {{"port", ""}}},
        {"quotes count, not attribute names",
         settingsBody("<variable id=\"port\" other=\"42\" ignored=\"x\" />"), {{"port", "42"}}},
    };
    for (const Case& c : cases) EXPECT_EQ(readSettingsVariables(c.content), c.expected) << c.what;
}

class SettingsXmlprefs : public ::testing::Test {
 protected:
    qvtest::fs::path settingsPath() const { return folder / std::string(kSettingsFileName); }
    void writeSettings(const std::string& content) const { writeFile(settingsPath(), content); }

    // Values no reader would produce on its own, so that any write to a setting shows.
    static constexpr Numbers kMarked{1111, 2222, 3333, 4444};
    void markSettings() {
        application.PREFportnumber = kMarked[0];
        application.PREFmaxconnections = kMarked[1];
        application.PREFmaxresultstotal = kMarked[2];
        application.PREFmaxresultsdatabase = kMarked[3];
    }

    TestFolder folder;
    app application;
};

TEST_F(SettingsXmlprefs, EachNameReachesItsOwnSetting) {
    writeSettings(settingsBody(element("PORT", "1") + element("Limit_Connections", "2") +
                               element("limit_results_total", "3") + element("LIMIT_RESULTS_DATABASE", "4") +
                               element("unknown", "5")));
    application.xmlprefs(false);
    EXPECT_EQ(numbers(application), (Numbers{1, 2, 3, 4}));

    // Attributes in the other order name nothing the server knows.
    markSettings();
    writeSettings(settingsBody("<variable value=\"9000\" name=\"port\" />"));
    application.xmlprefs(false);
    EXPECT_EQ(application.PREFportnumber, 1111);
}

TEST_F(SettingsXmlprefs, ValuesBecomeClampedWholeNumbersWithoutRangeCheck) {
    const struct {
        const char* text;
        int32_t expected;
    } cases[] = {
        {"8080", 8080},   {"70000", 70000},       {"0", 0},          {"-5", -5},          {"  42", 42},
        {"+17abc", 17},   {"12.9", 12},           {"-12.9", -12},    {"1.5e3", 1500},     {"2E2x", 200},
        {"abc", 0},       {"", 0},                {".75", 0},        {"-.5e1", -5},       {"1e400", kMax},
        {"99999999999", kMax}, {"-99999999999", kMin}, {"2147483647.9", kMax}, {"-2147483648", kMin},
    };
    for (const auto& c : cases) {
        markSettings();
        writeSettings(settingsBody(element("port", c.text) + element("limit_results_database", c.text)));
        application.xmlprefs(false);
        EXPECT_EQ(application.PREFportnumber, c.expected) << '"' << c.text << '"';
        EXPECT_EQ(application.PREFmaxresultsdatabase, c.expected) << '"' << c.text << '"';
        EXPECT_EQ(application.PREFmaxconnections, 2222) << "a setting not named must keep its value";
    }
}

TEST_F(SettingsXmlprefs, SpotlightWishNeedsSpotlightAndIsNeverWithdrawn) {
    const struct {
        bool canDoSpotlight;
        bool wishedBefore;
        const char* value;  // nullptr: no use_spotlight element
        bool wishedAfter;
    } cases[] = {
        {true, false, "true", true},  {true, false, "TrUe", true},  {true, false, "false", false},
        {true, false, "yes", false},  {false, false, "true", false}, {true, true, "false", true},
        {true, true, nullptr, true},  {false, true, "false", true},
    };
    for (const auto& c : cases) {
        application.candospotlight = c.canDoSpotlight;
        application.aaamksptlchck = c.wishedBefore;
        writeSettings(settingsBody(c.value ? element("use_spotlight", c.value) : std::string()));
        application.xmlprefs(false);
        EXPECT_EQ(application.aaamksptlchck, c.wishedAfter)
            << "can " << c.canDoSpotlight << ", before " << c.wishedBefore << ", value " << (c.value ? c.value : "none");
        EXPECT_EQ(application.candospotlight, c.canDoSpotlight);
    }
}

TEST_F(SettingsXmlprefs, MissingFileIsWrittenWithDefaultsAndRead) {
    application.xmlprefs(false);
    EXPECT_EQ(readFile(settingsPath()), kDefaultFile);
    EXPECT_EQ(numbers(application), (Numbers{7000, 10, 2000, 500}));
}

TEST_F(SettingsXmlprefs, WriteReplacesTheWholeFileWithoutTouchingTheOldOne) {
    const std::string old = settingsBody(element("port", "1") + element("use_spotlight", "true")) + std::string(4000, 'x');
    writeSettings(old);
    // A second name for the old file shows whether it was overwritten in place or replaced.
    const auto oldLink = folder / "old-settings";
    ASSERT_EQ(::link(settingsPath().c_str(), oldLink.c_str()), 0);

    application.PREFportnumber = 8080;
    application.PREFmaxconnections = -3;
    application.PREFmaxresultstotal = 0;
    application.PREFmaxresultsdatabase = kMax;
    application.xmlprefs(true);

    EXPECT_EQ(readFile(settingsPath()), settingsFileText(SettingsNumbers{8080, -3, 0, kMax}));
    EXPECT_EQ(readFile(oldLink), old);
    std::vector<std::string> names;
    for (const auto& entry : qvtest::fs::directory_iterator(folder.path())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"old-settings", std::string(kSettingsFileName)}))
        << "no temporary file may be left behind";

    // A new application reads back exactly what was written, negative numbers included.
    app reader;
    reader.xmlprefs(false);
    EXPECT_EQ(numbers(reader), (Numbers{8080, -3, 0, kMax}));
}

TEST_F(SettingsXmlprefs, FailedWriteKeepsTheOldFile) {
    const std::string old = settingsBody(element("port", "1234"));
    writeSettings(old);
    qvtest::ImmutableGuard locked(folder.path());
    if (!locked.active()) GTEST_SKIP() << "chattr +i is not available here";

    application.PREFportnumber = 9;
    EXPECT_NO_THROW(application.xmlprefs(true));
    EXPECT_EQ(readFile(settingsPath()), old);
}

TEST_F(SettingsXmlprefs, UnopenableFileThrowsAndChangesNothing) {
    const struct {
        const char* what;
        void (*make)(const qvtest::fs::path&);
    } cases[] = {
        {"a folder", [](const qvtest::fs::path& p) { qvtest::fs::create_directory(p); }},
        // Not a regular file: opening it must not wait for a writer.
        {"a FIFO", [](const qvtest::fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }},
    };
    for (const auto& c : cases) {
        qvtest::fs::remove_all(settingsPath());
        c.make(settingsPath());
        markSettings();
        application.candospotlight = true;
        application.aaamksptlchck = false;
        EXPECT_THROW(application.xmlprefs(false), platform::NilObjectException) << c.what;
        EXPECT_EQ(numbers(application), kMarked) << c.what;
        EXPECT_FALSE(application.aaamksptlchck) << c.what;
    }
}

}  // namespace
