// Start-up as the operator sees it: the settings file made or read, the console arranged and
// labelled, the two start lines in the activity log; and the handler of escaped exceptions.

#include "core/app.h"
#include "core/console_access.h"
#include "core/gfs_state.h"
#include "core/settings_file.h"
#include "core/text_constants.h"
#include "test_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using qvtest::readFile;

// Records every call as one text, in order, so that tests can ask for calls and their order.
class RecordingConsole final : public ConsoleAccess {
 public:
    static constexpr int kDataPathWidth = 300;
    std::vector<std::string> calls;

    void showConsoleWindow() override { record("showConsoleWindow"); }
    WindowFrame consoleFrame() override { return record("consoleFrame"), WindowFrame{100, 40, 350, 450}; }
    void showLogWindow() override { record("showLogWindow"); }
    void setLogWindowVisible(bool v) override { record("setLogWindowVisible", "", flag(v)); }
    void moveLogWindow(int left, int top) override { record("moveLogWindow", std::to_string(left), std::to_string(top)); }
    void appendLogText(const std::string& text) override { record("appendLogText", "", text); }
    void setControlText(std::string_view c, const std::string& t) override { record("setControlText", c, t); }
    void setControlVisible(std::string_view c, bool v) override { record("setControlVisible", c, flag(v)); }
    int controlWidth(std::string_view c) override { return record("controlWidth", c), kDataPathWidth; }
    void setControlWidth(std::string_view c, int w) override { record("setControlWidth", c, std::to_string(w)); }
    void setControlValue(std::string_view c, bool v) override { record("setControlValue", c, flag(v)); }
    void setMenuText(std::string_view item, const std::string& t) override { record("setMenuText", item, t); }
    void aktualizacia() override { record("aktualizacia"); }
    std::pair<int, int> mainScreenSize() override { return record("mainScreenSize"), std::pair{1280, 800}; }
    std::optional<std::string> showOpenDialog(const OpenDialogRequest& r) override {
        return record("showOpenDialog", r.title), std::nullopt;
    }

    bool saw(const std::string& call) const { return std::find(calls.begin(), calls.end(), call) != calls.end(); }
    std::vector<std::string> starting(const std::string& prefix) const {
        std::vector<std::string> found;
        std::copy_if(calls.begin(), calls.end(), std::back_inserter(found),
                     [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
        return found;
    }

 private:
    static std::string flag(bool v) { return v ? "true" : "false"; }
    void record(const char* what, std::string_view first = {}, const std::string& second = {}) {
        std::string call(what);
        for (std::string_view part : {first, std::string_view(second)})
            if (!part.empty()) call.append(" ").append(part);
        calls.push_back(call);
    }
};

// "2026-03-05 07:08:09: " with any digits.
constexpr std::string_view kStamp = "0000-00-00 00:00:00: ";
bool stamped(const std::string& line) {
    if (line.size() < kStamp.size()) return false;
    for (size_t i = 0; i < kStamp.size(); ++i)
        if (kStamp[i] == '0' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != kStamp[i]) return false;
    return true;
}

// One start-up in a folder of its own, with the system version chosen and the module state put
// back afterwards so that tests stay independent.
class StartupRun {
 public:
    explicit StartupRun(const char* systemVersion) : version_("QUORVANTEL_SYSTEM_VERSION", systemVersion) {
        savedStatus_ = gfs::servstatx;
        application.setConsole(&console);
    }
    ~StartupRun() {
        application.setConsole(nullptr);
        gfs::serverisko.reset();
        gfs::PPdbTarget.reset();
        gfs::servstatx = savedStatus_;
    }

    qvtest::fs::path settingsPath() const { return folder / std::string(kSettingsFileName); }

    // The messages of every log line, in order; each line must carry a well-formed time stamp.
    std::vector<std::string> logMessages() const {
        std::vector<qvtest::fs::path> files;
        if (qvtest::fs::is_directory(folder / "logs"))
            for (const auto& entry : qvtest::fs::directory_iterator(folder / "logs")) files.push_back(entry.path());
        std::sort(files.begin(), files.end());  // a month may end during the test
        std::vector<std::string> messages;
        for (const auto& file : files) {
            std::istringstream lines(readFile(file));
            for (std::string line; std::getline(lines, line);)
                messages.push_back(stamped(line) ? line.substr(kStamp.size()) : "UNSTAMPED " + line);
        }
        return messages;
    }

    qvtest::TestFolder folder;
    RecordingConsole console;
    app application;

 private:
    qvtest::ScopedEnv version_;
    std::string savedStatus_;
};

std::string settingsWith(const std::string& elements) { return "<settings>\n" + elements + "</settings>\n"; }

const std::vector<std::string> kDefaultStartLines = {"START ---- server is ready - :7000",
                                                     "settings - maxcon:10 / maxrestotal:2000 / maxresdb:500"};

TEST(Startup, WritesMissingSettingsAndLogsTheStart) {
    StartupRun run("10.4.11");
    run.application.Event_Open();
    EXPECT_EQ(gfs::servstatx, "ready");
    EXPECT_EQ(readFile(run.settingsPath()), settingsFileText(SettingsNumbers{}));
    EXPECT_EQ(run.logMessages(), kDefaultStartLines);
}

TEST(Startup, ReadsExistingSettingsWithoutRewritingThem) {
    StartupRun run("10.4.11");
    const std::string settings = settingsWith(R"(<variable name="port" value="8080" />
<variable name="limit_results_total" value="900" />
<variable name="use_spotlight" value="true" />
)");
    qvtest::writeFile(run.settingsPath(), settings);
    run.application.Event_Open();
    EXPECT_EQ(gfs::servstatx, "ready");
    EXPECT_EQ(run.logMessages(), (std::vector<std::string>{"START ---- server is ready - :8080",
                                                           "settings - maxcon:10 / maxrestotal:900 / maxresdb:500"}));
    // The writer always says "false" for Spotlight; rewriting would lose the operator's wish.
    EXPECT_EQ(readFile(run.settingsPath()), settings);
}

TEST(Startup, MalformedSettingsNeverStopStartUp) {
    const struct {
        const char* what;
        void (*make)(const qvtest::fs::path&);
    } cases[] = {
        {"a folder", [](const qvtest::fs::path& p) { qvtest::fs::create_directory(p); }},
        {"a FIFO", [](const qvtest::fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }},
        {"garbage", [](const qvtest::fs::path& p) { qvtest::writeFile(p, std::string("\0\xff<set\"tings>/>", 15)); }},
        {"an unclosed element",
         [](const qvtest::fs::path& p) { qvtest::writeFile(p, "<settings><variable name=\"port\" value=\"1\""); }},
    };
    for (const auto& c : cases) {
        StartupRun run("10.4.11");
        c.make(run.settingsPath());
        run.application.Event_Open();
        EXPECT_EQ(gfs::servstatx, "ready") << c.what;
        EXPECT_EQ(run.logMessages(), kDefaultStartLines) << c.what;
    }
}

TEST(Startup, ArrangesAndLabelsTheConsole) {
    StartupRun run("10.4.11");
    run.application.Event_Open();
    const auto& calls = run.console.calls;
    ASSERT_GE(calls.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 5),
              (std::vector<std::string>{"showConsoleWindow", "showLogWindow", "consoleFrame", "moveLogWindow 460 40",
                                        "showConsoleWindow"}));
    EXPECT_EQ(run.console.starting("setMenuText"),
              (std::vector<std::string>{"setMenuText UntitledMenu1 File", "setMenuText UntitledMenu0 Edit",
                                        "setMenuText FileOpenDatabaseMenu Open database ...",
                                        "setMenuText FileShowlogwindow Show Server Log Window"}));
}

TEST(Startup, SpotlightControlsFollowTheSystemAndTheSettings) {
    const struct {
        const char* version;
        const char* useSpotlight;  // nullptr: no settings file
        bool hidden;
        bool checked;
    } cases[] = {
        {"10.2.8", nullptr, true, false},
        {"10.2.8", "true", true, false},
        {"10.4.11", "true", false, true},
        {"10.4.11", "false", false, false},
        {"10.4.11", nullptr, false, false},
    };
    const std::string widened = "setControlWidth dataPath " + std::to_string(RecordingConsole::kDataPathWidth + 61);
    for (const auto& c : cases) {
        StartupRun run(c.version);
        if (c.useSpotlight)
            qvtest::writeFile(run.settingsPath(),
                              settingsWith(std::string("<variable name=\"use_spotlight\" value=\"") + c.useSpotlight + "\" />"));
        run.application.Event_Open();
        const std::string label = std::string(c.version) + " / " + (c.useSpotlight ? c.useSpotlight : "no file");
        EXPECT_EQ(run.console.saw("setControlVisible sptlgtcnv false"), c.hidden) << label;
        EXPECT_EQ(run.console.saw("setControlVisible sptlgtchckbx false"), c.hidden) << label;
        EXPECT_EQ(run.console.saw(widened), c.hidden) << label;
        EXPECT_EQ(run.console.starting("setControlWidth").size(), c.hidden ? 1u : 0u) << label;
        EXPECT_EQ(run.console.saw("setControlValue sptlgtchckbx true"), c.checked) << label;
        EXPECT_EQ(run.application.aaamksptlchck, c.checked) << label;
    }
}

TEST(UnhandledException, OnlyLackOfMemoryIsNotHandled) {
    app application;
    EXPECT_FALSE(application.Event_UnhandledException(std::make_exception_ptr(std::bad_alloc())));
    EXPECT_TRUE(application.Event_UnhandledException(std::make_exception_ptr(std::runtime_error("boom"))));
    EXPECT_TRUE(application.Event_UnhandledException(std::make_exception_ptr(42)));
}

TEST(TextConstants, DefaultsWithoutATranslation) {
    EXPECT_EQ(app::kFileQuit(), "&Quit");
    EXPECT_EQ(gfs::butt_opendbfile(), "Open database ...");
    EXPECT_EQ(app::msg_defdblisterror(),
              "Some of your database files were renamed, moved or deleted and Quorvantel cannot find them. "
              "The list of default databases will be deleted.");
}

}  // namespace
