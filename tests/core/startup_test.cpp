// Start-up as the operator sees it: the settings file made or read, the log window placed, the
// Spotlight controls and the start lines in the log; the system description behind them.

#include "core/system_description.h"
#include "core_fixture.h"
#include "platform/system_version.h"

#include <sys/stat.h>

#include <new>
#include <stdexcept>

namespace {

using namespace qvtest;

const std::string kDefaultStart =
    "* START ---- server is ready - :7000\n* settings - maxcon:10 / maxrestotal:2000 / maxresdb:500\n";
const std::string kDefaultFile =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n\n<settings>\n"
    "     <variable name=\"port\" value=\"7000\" />\n"
    "     <variable name=\"limit_connections\" value=\"10\" />\n"
    "     <variable name=\"limit_results_total\" value=\"2000\" />\n"
    "     <variable name=\"limit_results_database\" value=\"500\" />\n"
    "     <variable name=\"use_spotlight\" value=\"false\" />\n</settings>\n";

TEST(Startup, NeverStopsForItsSettingsAndShowsWhatTheyAndTheSystemSay) {
    const std::string spotlight = "<settings><variable name=\"use_spotlight\" value=\"";
    const Strings hidden = {"hide sptlgtcnv", "hide sptlgtchckbx", "dataPath 361"};
    const struct {
        const char* version;
        std::string settings;  // "": no file
        std::string log;
        Strings controls;
    } cases[] = {
        {"10.4.11", "", kDefaultStart, {}},
        {"10.2.8", "", kDefaultStart, hidden},
        {"10.2.8", spotlight + "true\" /></settings>", kDefaultStart, hidden},
        {"10.4.11",
         spotlight + "TrUe\" /><variable name=\"port\" value=\"8080\" /><variable name=\"limit_results_total\" value=\"900\" />",
         "* START ---- server is ready - :8080\n* settings - maxcon:10 / maxrestotal:900 / maxresdb:500\n",
         {"check sptlgtchckbx"}},
        {"10.4.11", spotlight + "yes\" /></settings>", kDefaultStart, {}},
        {"10.4.11", std::string("\0\xff<set\"tings>/>", 15), kDefaultStart, {}},
        {"10.4.11", "<settings><variable name=\"port\" value=\"1\"", kDefaultStart, {}},
        {"10.4.11", "<folder>", kDefaultStart, {}},
        // Not a regular file: opening it must not wait for a writer.
        {"10.4.11", "<fifo>", kDefaultStart, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version + (" " + ::testing::PrintToString(c.settings)));
        CoreRun run(c.version);
        if (c.settings == "<folder>") fs::create_directory(run.settings());
        else if (c.settings == "<fifo>") ASSERT_EQ(::mkfifo(run.settings().c_str(), 0644), 0);
        else if (!c.settings.empty()) writeFile(run.settings(), c.settings);
        run.application.Event_Open();
        EXPECT_EQ(gfs::servstatx, "ready");
        EXPECT_EQ(logText(run.folder() / "logs"), c.log);
        // The writer always says "false" for Spotlight: rewriting a file would lose the wish.
        if (fs::is_regular_file(run.settings())) {
            EXPECT_EQ(readFile(run.settings()), c.settings.empty() ? kDefaultFile : c.settings);
        }
        EXPECT_EQ(run.application.aaamksptlchck, run.console.count("check sptlgtchckbx") == 1);
        // The console's frame is 100, 40, 350 wide: the log window goes 10 pixels right of it.
        Strings calls = {"showConsoleWindow", "showLogWindow", "moveLogWindow 460 40", "showConsoleWindow"};
        calls.insert(calls.end(), c.controls.begin(), c.controls.end());
        EXPECT_EQ(run.console.calls, calls);
    }
}

TEST(UnhandledException, OnlyLackOfMemoryIsNotHandled) {
    app application;
    EXPECT_FALSE(application.Event_UnhandledException(std::make_exception_ptr(std::bad_alloc())));
    EXPECT_TRUE(application.Event_UnhandledException(std::make_exception_ptr(std::runtime_error("boom"))));
}

TEST(SystemDescription, TextAndSpotlightFromTheVersion) {
    const struct {
        const char* version;
        std::optional<int32_t> word;
        const char* text;
        std::optional<bool> spotlight;
    } cases[] = {
        {"10.4.11", 0x104B, "Mac OS X 10.4.11", true}, {"10.3.0", 0x1030, "Mac OS X 10.3.0", true},
        {"10.2.8", 0x1028, "Mac OS X 10.2.8", false},  {"11.2.0", 0x1120, "Mac OS X 11.2.0", false},
        {"9.2.2", 0x922, "Mac OS 9.2.2", std::nullopt}, {"99.15.15", 0x99FF, "Mac OS X 99.15.15", true},
        {"10.16.0", std::nullopt, "", std::nullopt},    {"10.4.16", std::nullopt, "", std::nullopt},
        {"10.4", std::nullopt, "", std::nullopt},       {"10.4.11.1", std::nullopt, "", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        EXPECT_EQ(platform::encodeSystemVersion(c.version), c.word);
        const SystemDescription d = describeSystem(c.word);
        EXPECT_EQ(std::tie(d.text, d.spotlight), std::tuple(c.text, c.spotlight));
        // Only a version that says sets the capability; otherwise it keeps its value.
        for (const bool before : {false, true}) {
            CoreRun run(c.version);
            run.application.candospotlight = before;
            EXPECT_EQ(gfs::getsystemstring(), c.text);
            EXPECT_EQ(run.application.candospotlight, c.spotlight.value_or(before));
        }
    }
    CoreRun unset(nullptr);
    EXPECT_EQ(gfs::getsystemstring(), "Mac OS X 10.4.11");
    EXPECT_TRUE(unset.application.candospotlight);
}

}  // namespace
