#include "AgentContext.h"
#include "AgentCore.h"
#include "AgentError.h"
#include "RunProcess.h"
#include "SystemControls.h"
#include "TempEnvironment.h"
#include "XDesktop.h"

#include <QJsonObject>
#include <QStringList>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace {

const QString kChordPrefix = QStringLiteral("tell application \"System Events\" to ");
const QString kRunner = QStringLiteral(VANTOR_RUNTIME_DIR "/vantor-osascript");
QString runScript(const QString& text) {
    return runProcess(kRunner, {QStringLiteral("-e"), text});
}

QString refusalOf(const QString& text) {
    try {
        runScript(text);
    } catch (const AgentError& error) {
        return error.message();
    }
    return QStringLiteral("(accepted)");
}

// One desktop for the suite; each test gets its own focused witness window.
class OnDesktop : public testing::Test {
protected:
    static void SetUpTestSuite() { desktop = new XDesktop; }
    static void TearDownTestSuite() {
        delete desktop;
        desktop = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(desktop->ready());
        window = std::make_unique<TestWindow>(TestWindow::Options{.title = "Ωμέγα “quoted” title"});
        ASSERT_TRUE(window->waitUntilActive());
    }
    static XDesktop* desktop;
    TempEnvironment env;
    std::unique_ptr<TestWindow> window;
};
XDesktop* OnDesktop::desktop = nullptr;

struct ChordCase {
    const char* name;
    const char* keys;     // the "keys" of a shortcut action
    const char* received; // keysym and modifier state (Shift 1, Control 4, Alt 8)
};

class Chords : public OnDesktop, public testing::WithParamInterface<ChordCase> {};

TEST_P(Chords, ArriveAsRealKeyPresses) {
    const QString keys = QString::fromUtf8(GetParam().keys);
    CoreServices services = CoreServices::defaults();
    services.scriptRunnerPath = kRunner;
    AgentCore core(services); // a refusal throws, and fails the row with its message
    EXPECT_EQ(core.executeAction(QJsonObject{{QStringLiteral("type"), QStringLiteral("shortcut")},
                                             {QStringLiteral("keys"), keys}},
                                 0),
              QStringLiteral("Sent ") + keys);
    EXPECT_EQ(window->keyLog(1), std::vector<std::string>{GetParam().received});
    EXPECT_EQ(keysDown(), std::vector<int>{}) << "a key was left pressed";
}

INSTANTIATE_TEST_SUITE_P(Keys, Chords,
                         testing::Values(ChordCase{"CommandShiftK", "command+shift+k", "0x4b 5"},
                                         ChordCase{"ControlLeft", "Control + Left", "0xff51 4"},
                                         ChordCase{"CommandGrave", "command+`", "0x60 4"},
                                         ChordCase{"OptionEx", "option+e+x", "0x65 8"},
                                         ChordCase{"ShiftedCharacter", "~", "0x7e 1"},
                                         ChordCase{"Quote", "\"", "0x22 1"},
                                         ChordCase{"MissingFromLayout", "control+€", "0x10020ac 4"},
                                         ChordCase{"Latin1MissingFromLayout", "é", "0xe9 0"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OnDesktop, NearTemplatesPressNothing) {
    EXPECT_EQ(refusalOf(kChordPrefix + QStringLiteral("key code 122")),
              QStringLiteral("Unsupported key code: 122"));
    EXPECT_EQ(runScript(kChordPrefix + QStringLiteral("key code 53")), QString());
    EXPECT_EQ(window->keyLog(1), std::vector<std::string>{"0xff1b 0"}) << "only the valid chord";
}

TEST_F(OnDesktop, TitleScriptPrintsTheActiveWindowsTitle) {
    EXPECT_EQ(runScript(titleScript()), QStringLiteral("Ωμέγα “quoted” title"));
    TestWindow legacy({.title = "Grüße Ωμέγα", .legacyTitle = true});
    ASSERT_TRUE(legacy.waitUntilActive());
    EXPECT_EQ(runScript(titleScript()), QStringLiteral("Grüße Ωμέγα")) << "COMPOUND_TEXT WM_NAME";
}

TEST_F(OnDesktop, QuitAppsClosesAllButTheAgentAndFileManagers) {
    TestWindow second;
    TestWindow agent({.instance = "vantor-companion", .wmClass = "Vantor-companion"});
    TestWindow files({.instance = "thunar", .wmClass = "Thunar"});
    ASSERT_TRUE(files.waitUntilActive());
    EXPECT_EQ(runScript(systemVerbScripts().value(QStringLiteral("quit-apps"))),
              QStringLiteral("asked visible apps to quit"));
    EXPECT_TRUE(window->waitUntilExited());
    EXPECT_TRUE(second.waitUntilExited());
    EXPECT_EQ(::waitpid(agent.pid(), nullptr, WNOHANG), 0) << "the agent's window stays";
    EXPECT_EQ(::waitpid(files.pid(), nullptr, WNOHANG), 0) << "the file manager stays";
}

TEST(Osascript, FailsCleanlyWithoutAnXServer) {
    XDesktop desktop;
    ASSERT_TRUE(desktop.ready());
    desktop.killServer();
    const QString refusal =
        QStringLiteral("Cannot open X display ") + QString::fromLocal8Bit(qgetenv("DISPLAY"));
    EXPECT_EQ(refusalOf(titleScript()), refusal);
    EXPECT_EQ(refusalOf(kChordPrefix + QStringLiteral("key code 36")), refusal);
}

} // namespace
