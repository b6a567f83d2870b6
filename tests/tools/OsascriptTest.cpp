#include "AgentContext.h"
#include "AgentError.h"
#include "RunProcess.h"
#include "XDesktop.h"

#include <QStringList>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace {

const QString kChordPrefix = QStringLiteral("tell application \"System Events\" to ");
const QString kQuitApps = QStringLiteral(
    "tell application \"System Events\"\n"
    "  set appNames to name of every application process whose visible is true\n"
    "end tell\n"
    "repeat with appName in appNames\n"
    "  set theName to appName as text\n"
    "  if theName is not \"Finder\" and theName is not \"Vantor Companion\" and theName is not "
    "\"Keyloft Companion\" then\n"
    "    try\n"
    "      tell application theName to quit\n"
    "    end try\n"
    "  end if\n"
    "end repeat\n"
    "return \"asked visible apps to quit\"");

QString runScript(const QString& text) {
    return runProcess(QStringLiteral(VANTOR_RUNTIME_DIR "/vantor-osascript"),
                      {QStringLiteral("-e"), text});
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
    std::unique_ptr<TestWindow> window;
};
XDesktop* OnDesktop::desktop = nullptr;

struct ChordCase {
    const char* name;
    const char* script;   // after "tell application "System Events" to "
    const char* received; // keysym and modifier state (Shift 1, Control 4, Alt 8)
};
void PrintTo(const ChordCase& c, std::ostream* os) {
    *os << c.name;
}

class Chords : public OnDesktop, public testing::WithParamInterface<ChordCase> {};

TEST_P(Chords, ArriveAsRealKeyPresses) {
    EXPECT_EQ(runScript(kChordPrefix + QString::fromUtf8(GetParam().script)), QString());
    EXPECT_EQ(window->keyLog(1), std::vector<std::string>{GetParam().received});
    EXPECT_EQ(keysDown(), std::vector<int>{}) << "a key was left pressed";
}

INSTANTIATE_TEST_SUITE_P(
    Keys, Chords,
    testing::Values(
        ChordCase{"CommandShiftK", "keystroke \"k\" using {command down, shift down}", "0x4b 5"},
        ChordCase{"ControlLeft", "key code 123 using {control down}", "0xff51 4"},
        ChordCase{"Return", "key code 36", "0xff0d 0"},
        ChordCase{"CommandGrave", "key code 50 using {command down}", "0x60 4"},
        ChordCase{"OptionE", "keystroke \"e\" using {option down}", "0x65 8"},
        ChordCase{"ShiftTwice", "keystroke \"a\" using {shift down, shift down}", "0x41 1"},
        ChordCase{"ShiftedCharacter", "keystroke \"~\"", "0x7e 1"},
        ChordCase{"EscapedQuote", "keystroke \"\\\"\"", "0x22 1"},
        ChordCase{"Backslash", "keystroke \"\\\"", "0x5c 0"},
        ChordCase{"MissingFromLayout", "keystroke \"€\" using {control down}", "0x10020ac 4"},
        ChordCase{"Latin1MissingFromLayout", "keystroke \"é\"", "0xe9 0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OnDesktop, NearTemplatesPressNothing) {
    EXPECT_EQ(refusalOf(kChordPrefix + QStringLiteral("keystroke \"k\" using {command}")),
              QStringLiteral("Unsupported script"));
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
    EXPECT_EQ(runScript(kQuitApps), QStringLiteral("asked visible apps to quit"));
    EXPECT_TRUE(window->waitUntilExited());
    EXPECT_TRUE(second.waitUntilExited());
    EXPECT_EQ(::waitpid(agent.pid(), nullptr, WNOHANG), 0) << "the agent's window stays";
    EXPECT_EQ(::waitpid(files.pid(), nullptr, WNOHANG), 0) << "the file manager stays";
}

TEST(Osascript, FailsCleanlyWithoutAnXServer) {
    XDesktop desktop;
    ASSERT_TRUE(desktop.ready());
    desktop.killServer();
    EXPECT_EQ(refusalOf(titleScript()), QStringLiteral("Cannot open X display ") +
                                            QString::fromLocal8Bit(qgetenv("DISPLAY")));
    EXPECT_EQ(refusalOf(kChordPrefix + QStringLiteral("key code 36")),
              QStringLiteral("Cannot open X display ") +
                  QString::fromLocal8Bit(qgetenv("DISPLAY")));
}

} // namespace
