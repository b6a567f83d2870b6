#include "AgentContext.h"
#include "RunHelper.h"
#include "ShortcutScript.h"
#include "SystemControls.h"
#include "XDesktop.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

using namespace Qt::StringLiterals;

namespace {

const QString kChordPrefix = u"tell application \"System Events\" to "_s;

TEST(Osascript, PressesChordsPrintsTitlesQuitsAppsAndFailsCleanlyWithoutX) {
    const auto run = [](const QString& text) {
        return runHelper("vantor-osascript", {u"-e"_s, text});
    };
    XDesktop desktop;
    ASSERT_TRUE(desktop.ready());
    TestWindow window;
    ASSERT_TRUE(window.waitUntilActive());
    const struct {
        const char* name;
        const char* keys;     // the "keys" of a shortcut action
        const char* received; // keysym and modifier state (Shift 1, Control 4, Alt 8)
    } cases[] = {
        {"CommandShiftK", "command+shift+k", "0x4b 5"},
        {"ControlLeft", "Control + Left", "0xff51 4"},
        {"CommandGrave", "command+`", "0x60 4"},
        {"OptionEx", "option+e+x", "0x65 8"},
        {"Quote", "\"", "0x22 1"},
        {"Backslash", "\\", "0x5c 0"},
        {"MissingFromLayout", "control+€", "0x10020ac 4"},
        {"Latin1MissingFromLayout", "é", "0xe9 0"},
    };
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        EXPECT_EQ(run(shortcutScript(QString::fromUtf8(c.keys))), QString()) << c.name;
        expected.push_back(c.received);
        EXPECT_EQ(window.keyLog(expected.size()), expected) << c.name;
    }
    EXPECT_EQ(run(kChordPrefix + u"key code 122"_s), u"refused: Unsupported key code: 122"_s);
    EXPECT_EQ(run(kChordPrefix + u"key code 53"_s), QString());
    expected.push_back("0xff1b 0");
    EXPECT_EQ(window.keyLog(expected.size()), expected) << "only the valid template";
    EXPECT_EQ(keysDown(), std::vector<int>{}) << "a key was left pressed";

    // UTF-8 titles are read by the same code for the agent's own context.
    TestWindow legacy({.title = "Grüße Ωμέγα", .legacyTitle = true});
    ASSERT_TRUE(legacy.waitUntilActive());
    EXPECT_EQ(run(titleScript()), u"Grüße Ωμέγα"_s) << "COMPOUND_TEXT WM_NAME";

    TestWindow agent({.instance = "vantor-companion", .wmClass = "Vantor-companion"});
    TestWindow files({.instance = "thunar", .wmClass = "Thunar"});
    ASSERT_TRUE(files.waitUntilActive());
    EXPECT_EQ(run(systemVerbScripts().value(u"quit-apps"_s)), u"asked visible apps to quit"_s);
    EXPECT_TRUE(window.waitUntilExited());
    EXPECT_TRUE(legacy.waitUntilExited());
    EXPECT_EQ(::waitpid(agent.pid(), nullptr, WNOHANG), 0) << "the agent's window stays";
    EXPECT_EQ(::waitpid(files.pid(), nullptr, WNOHANG), 0) << "the file manager stays";

    desktop.killServer();
    const QString refusal =
        u"refused: Cannot open X display "_s + QString::fromLocal8Bit(qgetenv("DISPLAY"));
    EXPECT_EQ(run(titleScript()), refusal);
    EXPECT_EQ(run(kChordPrefix + u"key code 36"_s), refusal);
}

} // namespace
