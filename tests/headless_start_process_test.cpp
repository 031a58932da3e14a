// The server started without a display writes on standard error only what it means to say: its
// message boxes and its own notes, each a line of its own, and none of Qt's notes that the
// offscreen platform cannot do what a window asked of it; Qt's other warnings still pass.

#include "platform/qt_message_filter.h"
#include "test_support/server_process.h"

#include <QString>
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

namespace {

using namespace test_support;

TEST(OffscreenPlatformNotes, OnlyTheirExactTextsAsWarningsAreLeftOut) {
    const struct {
        QtMsgType type;
        const char* message;
        bool leftOut;
    } cases[] = {
        {QtWarningMsg, "QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '/tmp/runtime-root'", true},
        {QtWarningMsg, "QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '/tmp/a b'", true},
        {QtWarningMsg, "This plugin does not support raise()", true},
        {QtWarningMsg, "This plugin does not support propagateSizeHints()", true},
        {QtWarningMsg, "This plugin does not support grabbing the keyboard", true},
        {QtWarningMsg, "This plugin does not support setParent!", true},
        // Notes of a runtime folder that is wrong, not missing, point to a fault.
        {QtWarningMsg, "QStandardPaths: wrong permissions on runtime directory /run/user/0, 0755 instead of 0700", false},
        {QtWarningMsg, "QStandardPaths: runtime directory '/run/user/0' is not owned by UID 0, but a directory permissions 0700 owned by UID 1 GID 1", false},
        // Another shortcoming of the platform that the server would feel: fonts, pictures.
        {QtWarningMsg, "This plugin does not support loading system fonts.", false},
        {QtWarningMsg, "This plugin does not support application fonts", false},
        {QtWarningMsg, "QPainter::begin: Paint device returned engine == 0, type: 3", false},
        // Near misses: more, less, or another kind of message with the same words.
        {QtWarningMsg, "This plugin does not support raise() of window 7", false},
        {QtWarningMsg, "This plugin does not support raise", false},
        {QtWarningMsg, "this plugin does not support raise()", false},
        {QtWarningMsg, "QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '/tmp/x'\nand more", false},
        {QtCriticalMsg, "This plugin does not support raise()", false},
        {QtFatalMsg, "QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '/tmp/runtime-root'", false},
        {QtWarningMsg, "", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::isOffscreenPlatformNote(c.type, QString::fromUtf8(c.message)), c.leftOut) << c.message;
}

// A start that has something to say: a default catalog that is gone (a message box) and a
// file-name search without an index (a note), then a ping and SIGTERM.
TEST(HeadlessStart, StandardErrorHoldsOnlyTheServersMessageBoxesAndNotes) {
    const ScopedEnv noRuntimeFolder("XDG_RUNTIME_DIR", nullptr);
    const ScopedEnv noIndex("QUORVANTEL_LOCATE_DB", "/nonexistent/quorvantel-test.db");
    ServerProcess server;
    const int port = freePort();
    std::string settings = settingsText(port);
    settings.replace(settings.find("\"use_spotlight\" value=\"false\""), 29, "\"use_spotlight\" value=\"true\"");
    server.writeFile("preferences-server.xml", settings);
    ASSERT_TRUE(writePreferences(server.parentFolder() / "preferences", {"/nonexistent/gone.vxo"}));
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(waitFor([port] { return pingAnswered(port); }));
    EXPECT_NE(exchange(port, request("vaxo-search", {}, "name LIKE '%x%'", "v", "tester", "quokka"), "</result>\n"),
              "");
    ASSERT_EQ(server.terminate(), 0);

    const std::string errors = server.standardError();
    EXPECT_NE(errors.find("quorvantel-server: Some of your database files were renamed"), std::string::npos) << errors;
    EXPECT_NE(errors.find("quorvantel-server: the file-name search finds nothing"), std::string::npos) << errors;
    std::istringstream lines(errors);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.starts_with("quorvantel-server: ")) << "a line the server did not write: " << line;
}

}  // namespace
