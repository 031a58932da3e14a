// Start-up with the real console: the log window placed beside the console window, the
// address and port shown, and the Spotlight controls as the system and the settings say.

#include "console_fixture.h"
#include "platform/ui_canvas.h"
#include "platform/ui_check_box.h"
#include "platform/ui_edit_field.h"

#include <fstream>

namespace {

using consoletest::ConsoleRun;
using consoletest::ScopedEnv;

TEST(ConsoleStartup, PlacesTheLogWindowTenPixelsRightOfTheConsoleAtItsTop) {
    const ScopedEnv version("QUORVANTEL_SYSTEM_VERSION", "10.4.11");
    ConsoleRun run;
    run.application.Event_Open();

    const dbswindow& console = run.console();
    EXPECT_TRUE(console.Visible());
    ASSERT_TRUE(logswindow::exists());
    const logswindow& log = logswindow::instance();
    EXPECT_TRUE(log.isVisible());
    EXPECT_EQ(log.geometry().left(), console.Left() + console.Width() + 10);
    // The tops line up, the console's menu bar counted as part of its frame.
    EXPECT_GT(console.MenuBarHeight(), 0);
    EXPECT_EQ(log.geometry().top(), console.Top() - console.MenuBarHeight());
    const WindowFrame frame = run.windows.consoleFrame();
    EXPECT_EQ(frame.left, console.geometry().left());
    EXPECT_EQ(frame.top, console.geometry().top());
    EXPECT_EQ(frame.width, 350);
    EXPECT_EQ(frame.height, 450 + console.MenuBarHeight());

    // No listener was made here, so there is no address; the port is the setting's.
    EXPECT_EQ(console.ipcka->Text(), "");
    EXPECT_EQ(console.portik->Text(), "7000");
}

TEST(ConsoleStartup, ShowsTheSpotlightControlsAsTheSystemAndTheSettingsSay) {
    struct Case {
        const char* version;
        const char* useSpotlight;  // nullptr: no settings file
        bool shown;
        int dataPathWidth;
        bool switchedOn;
    };
    const Case cases[] = {
        {"10.4.11", nullptr, true, 144, false},
        {"10.4.11", "true", true, 144, true},
        {"10.2.8", nullptr, false, 205, false},
        {"10.2.8", "true", false, 205, false},
        {"none", nullptr, false, 205, false},
    };
    for (const Case& c : cases) {
        const std::string label = std::string(c.version) + " / " + (c.useSpotlight ? c.useSpotlight : "no file");
        const ScopedEnv version("QUORVANTEL_SYSTEM_VERSION", c.version);
        ConsoleRun run;
        if (c.useSpotlight)
            std::ofstream(run.appFolder() / "preferences-server.xml")
                << "<settings>\n<variable name=\"use_spotlight\" value=\"" << c.useSpotlight << "\" />\n</settings>\n";
        run.application.Event_Open();

        const dbswindow& console = run.console();
        EXPECT_EQ(console.sptlgtcnv->Visible(), c.shown) << label;
        EXPECT_EQ(console.sptlgtchckbx->Visible(), c.shown) << label;
        EXPECT_EQ(console.dataPath->Width(), c.dataPathWidth) << label;
        EXPECT_EQ(console.sptlgtchckbx->Value(), c.switchedOn) << label;
        EXPECT_EQ(gfs::spotlightSwitchMirror.load(), c.switchedOn) << label;
    }
}

TEST(ConsoleStartup, TheWidenedPathFieldKeepsItsWidthWhenTheWindowGrows) {
    const ScopedEnv version("QUORVANTEL_SYSTEM_VERSION", "10.2.8");
    ConsoleRun run;
    run.application.Event_Open();
    dbswindow& console = run.console();
    console.SetWidth(console.Width() + 100);
    EXPECT_EQ(console.dataPath->Width(), 305);
    EXPECT_EQ(console.dataPath->Left(), 124);
}

}  // namespace
