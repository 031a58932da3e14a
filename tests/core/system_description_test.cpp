// The system description sent to clients and the Spotlight capability, from the version word and
// from the version the environment chooses.

#include "core/app.h"
#include "core/system_description.h"
#include "platform/system_version.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

TEST(DescribeSystem, TextAndSpotlightFromTheVersionWord) {
    const struct {
        std::optional<int32_t> word;
        const char* text;
        std::optional<bool> spotlight;
    } cases[] = {
        {0x1049, "Mac OS X 10.4.9", true},   {0x104B, "Mac OS X 10.4.11", true},
        {0x1030, "Mac OS X 10.3.0", true},   {0x1028, "Mac OS X 10.2.8", false},
        {0x922, "Mac OS 9.2.2", std::nullopt}, {std::nullopt, "", std::nullopt},
        {0x1120, "Mac OS X 11.2.0", false},
    };
    for (const auto& c : cases) {
        const SystemDescription d = describeSystem(c.word);
        const std::string label = c.word ? std::to_string(*c.word) : "none";
        EXPECT_EQ(d.text, c.text) << label;
        EXPECT_EQ(d.spotlight, c.spotlight) << label;
    }
}

TEST(EncodeSystemVersion, ReadsOnlyWellFormedVersions) {
    const struct {
        const char* text;
        std::optional<int32_t> word;
    } cases[] = {
        {"10.4.11", 0x104B}, {"10.2.8", 0x1028}, {"9.2.2", 0x922},   {"99.15.15", 0x99FF},
        {"10.16.0", std::nullopt}, {"10.4.16", std::nullopt}, {"100.0.0", std::nullopt},
        {"x", std::nullopt},  {"", std::nullopt}, {"10.4", std::nullopt}, {"10.4.11.1", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::encodeSystemVersion(c.text), c.word) << '"' << c.text << '"';
}

TEST(GetSystemString, VersionFromTheEnvironment) {
    const struct {
        const char* version;  // nullptr: the variable is unset
        bool canBefore;
        const char* text;
        bool canAfter;
    } cases[] = {
        {"10.2.8", true, "Mac OS X 10.2.8", false}, {"10.3.0", false, "Mac OS X 10.3.0", true},
        {"9.2.2", true, "Mac OS 9.2.2", true},      {"9.2.2", false, "Mac OS 9.2.2", false},
        {"none", true, "", true},                   {"none", false, "", false},
        {nullptr, false, "Mac OS X 10.4.11", true},
    };
    for (const auto& c : cases) {
        qvtest::ScopedEnv version("QUORVANTEL_SYSTEM_VERSION", c.version);
        app application;
        application.candospotlight = c.canBefore;
        const char* label = c.version ? c.version : "unset";
        EXPECT_EQ(gfs::getsystemstring(), c.text) << label;
        EXPECT_EQ(application.candospotlight, c.canAfter) << label;
    }
}

}  // namespace
