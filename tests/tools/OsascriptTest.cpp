#include "AgentCore.h"
#include "AgentError.h"
#include "RunProcess.h"
#include "SystemControls.h"
#include "TempEnvironment.h"
#include "XDesktop.h"

#include <QJsonObject>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace {

const QString kChordPrefix = QStringLiteral("tell application \"System Events\" to ");
const QString kRunner = QStringLiteral(VANTOR_RUNTIME_DIR "/vantor-osascript");

// What the helper prints, or why it refused.
QString run(const QString& text) {
    try {
        return runProcess(kRunner, {QStringLiteral("-e"), text});
    } catch (const AgentError& error) {
        return QStringLiteral("refused: ") + error.message();
    }
}

TEST(Osascript, ChordsArriveAsRealKeyPressesAndNearTemplatesPressNothing) {
    XDesktop desktop;
    ASSERT_TRUE(desktop.ready());
    TempEnvironment env;
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
        {"ShiftedCharacter", "~", "0x7e 1"},
        {"Quote", "\"", "0x22 1"},
        {"Backslash", "\\", "0x5c 0"},
        {"MissingFromLayout", "control+€", "0x10020ac 4"},
        {"Latin1MissingFromLayout", "é", "0xe9 0"},
    };
    CoreServices services = CoreServices::defaults();
    services.scriptRunnerPath = kRunner;
    AgentCore core(services); // a refusal throws, and fails the test with its message
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        const QString keys = QString::fromUtf8(c.keys);
        EXPECT_EQ(
            core.executeAction(QJsonObject{{QStringLiteral("type"), QStringLiteral("shortcut")},
                                           {QStringLiteral("keys"), keys}},
                               0),
            QStringLiteral("Sent ") + keys);
        expected.push_back(c.received);
        EXPECT_EQ(window.keyLog(expected.size()), expected) << c.name;
    }
    EXPECT_EQ(run(kChordPrefix + QStringLiteral("key code 122")),
              QStringLiteral("refused: Unsupported key code: 122"));
    EXPECT_EQ(run(kChordPrefix + QStringLiteral("key code 53")), QString());
    expected.push_back("0xff1b 0");
    EXPECT_EQ(window.keyLog(expected.size()), expected) << "only the valid template";
    EXPECT_EQ(keysDown(), std::vector<int>{}) << "a key was left pressed";
}

TEST(Osascript, PrintsTheTitleAndQuitsAllButTheAgentAndFileManagers) {
    XDesktop desktop;
    ASSERT_TRUE(desktop.ready());
    TestWindow window({.title = "Ωμέγα “quoted” title"});
    ASSERT_TRUE(window.waitUntilActive());
    EXPECT_EQ(run(titleScript()), QStringLiteral("Ωμέγα “quoted” title"));
    TestWindow legacy({.title = "Grüße Ωμέγα", .legacyTitle = true});
    ASSERT_TRUE(legacy.waitUntilActive());
    EXPECT_EQ(run(titleScript()), QStringLiteral("Grüße Ωμέγα")) << "COMPOUND_TEXT WM_NAME";

    TestWindow agent({.instance = "vantor-companion", .wmClass = "Vantor-companion"});
    TestWindow files({.instance = "thunar", .wmClass = "Thunar"});
    ASSERT_TRUE(files.waitUntilActive());
    EXPECT_EQ(run(systemVerbScripts().value(QStringLiteral("quit-apps"))),
              QStringLiteral("asked visible apps to quit"));
    EXPECT_TRUE(window.waitUntilExited());
    EXPECT_TRUE(legacy.waitUntilExited());
    EXPECT_EQ(::waitpid(agent.pid(), nullptr, WNOHANG), 0) << "the agent's window stays";
    EXPECT_EQ(::waitpid(files.pid(), nullptr, WNOHANG), 0) << "the file manager stays";
}

TEST(Osascript, FailsCleanlyWithoutAnXServer) {
    XDesktop desktop;
    ASSERT_TRUE(desktop.ready());
    desktop.killServer();
    const QString refusal = QStringLiteral("refused: Cannot open X display ") +
                            QString::fromLocal8Bit(qgetenv("DISPLAY"));
    EXPECT_EQ(run(titleScript()), refusal);
    EXPECT_EQ(run(kChordPrefix + QStringLiteral("key code 36")), refusal);
}

} // namespace
