#include "AgentCore.h"
#include "AgentError.h"
#include "AudioBackend.h"
#include "RunProcess.h"
#include "TempEnvironment.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>
#include <map>
#include <set>

namespace {

// Audio devices in memory, for what a real server cannot be made to do: refuse a switch, accept
// one that then does not take effect, fail to read its default. Both scopes see the same devices.
class FakeAudioBackend final : public AudioBackend {
public:
    std::optional<std::vector<DeviceId>> all; // what the list returns, in order; nothing: fails
    std::set<DeviceId> silent;                // devices without streams in the direction
    std::map<DeviceId, std::string> names;
    std::optional<DeviceId> current; // the default
    std::set<DeviceId> refused;      // requests the layer refuses
    std::set<DeviceId> ignored;      // requests accepted that do not take effect
    std::vector<DeviceId> requested; // every request, in order
    std::vector<DeviceId> followed;  // every moveStreams target, in order

    // clang-format off
    std::optional<std::vector<DeviceId>> devices(AudioScope) override { return all; }
    std::optional<bool> hasStreams(AudioScope, DeviceId device) override { return !silent.contains(device); }
    std::optional<DeviceId> defaultDevice(AudioScope) override { return current; }
    void moveStreams(AudioScope, DeviceId device) override { followed.push_back(device); }
    std::optional<std::string> name(AudioScope, DeviceId d) override { return names.contains(d) ? std::optional(names.at(d)) : std::nullopt; }
    // clang-format on
    bool requestDefault(AudioScope, DeviceId device) override {
        requested.push_back(device);
        current = ignored.contains(device) || refused.contains(device) ? current : device;
        return !refused.contains(device);
    }
};

// The result, or "error: " and the error's description.
std::string outcome(const std::function<QString()>& step) {
    try {
        return step().toStdString();
    } catch (const std::exception& error) {
        return "error: " + errorDescription(error).toStdString();
    }
}

const auto s = [](const char* utf8) { return QString::fromUtf8(utf8); };
// The stand-ins' calls, one a line: the program's name and each argument, each ending in "|".
const auto open = [](const QString& app) { return s("open|-a|") + app + s("|\n"); };
const auto shortcut = [](const QString& keys) {
    return s(R"({"type":"shortcut","keys":")") + keys + s("\"}");
};
const QString kLaunch = s(R"({"type":"launch","app":"A"})");
const QString kLong240 = QStringLiteral("e\u0301").repeated(240);
const QString k80 = s("a+") + s("shift+").repeated(13);
// The runner's one call with a chord's script.
QString tell(const QString& what, const QString& modifiers = {}) {
    return s("run|-e|tell application \"System Events\" to ") + what +
           (modifiers.isEmpty() ? QString() : s(" using {") + modifiers + u'}') + s("|\n");
}
QString workflow(const QString& steps, int levels = 1) {
    QString action = steps;
    for (int i = 0; i < levels; ++i)
        action = s(R"({"type":"workflow","steps":[)") + action + s("]}");
    return action;
}

TEST(Actions, Dispatch) {
    // clang-format off
    // expected: the result, or "error: " + the refusal's message.
    const struct { const char* name; QString action, expected, calls; } cases[] = {
        {"LaunchAppOnlySpaces", s(R"({"type":"launch","app":"   "})"), s("error: App is missing or too long"), {}},
        {"LaunchAppMissing", s(R"({"type":"launch"})"), s("error: App must be text"), {}},
        {"Text240CharactersTrimmedPasses", s(R"({"type":"launch","app":" \n )") + kLong240 + s(R"(\t"})"), s("Launched ") + kLong240, open(kLong240)},
        {"Text241CharactersFails", s(R"({"type":"launch","app":"x)") + kLong240 + s("\"}"), s("error: App is missing or too long"), {}},
        {"UrlKeptAsGiven", s(R"({"type":"url","target":" HTTPS://Example.COM/A%20b?q=1#F "})"), s("Opened HTTPS://Example.COM/A%20b?q=1#F"), s("open|HTTPS://Example.COM/A%20b?q=1#F|\n")},
        {"UrlFile", s(R"({"type":"url","target":"file:///etc/passwd"})"), s("error: Only http and https URLs are allowed"), {}},
        {"UrlNotParseable", s(R"({"type":"url","target":"http://exa mple.com"})"), s("error: Only http and https URLs are allowed"), {}},
        {"ChordFirstKeyWinsModifiersAnywhere", shortcut(s("k+option+e+shift")), s("Sent k+option+e+shift"), tell(s("keystroke \"k\""), s("option down, shift down"))},
        {"ChordEmptyPiecesDropped", shortcut(s("command++k")), s("Sent command++k"), tell(s("keystroke \"k\""), s("command down"))},
        {"ChordBackslashIsNot", shortcut(s(R"(\\)")), s("Sent \\"), tell(s(R"(keystroke "\")"))},
        {"ChordClusterIsOneCharacter", shortcut(s("e\u0301")), s("Sent e\u0301"), tell(s("keystroke \"e\u0301\""))},
        {"ChordOfEightyCharacters", shortcut(k80), s("Sent ") + k80, tell(s("keystroke \"a\""), QStringList(13, s("shift down")).join(s(", ")))},
        {"ChordOfEightyOneCharacters", shortcut(k80 + u'x'), s("error: Shortcut must be a short key chord"), {}},
        {"ChordOfOnlyModifiers", shortcut(s("command+shift")), s("error: Shortcut is missing a key"), {}},
        {"ChordTabOnlyPieceIsEmptyKey", shortcut(s(R"(command+\t+k)")), s("error: Unsupported shortcut key: "), {}},
        {"ChordNewlineIsNotTrimmedFromPiece", shortcut(s(R"(a\n+b)")), s("error: Unsupported shortcut key: a\n"), {}},
        {"SystemControlInCapitals", s(R"({"type":"system","target":" Volume-Up "})"), s("error: Unsupported system control: Volume-Up"), {}},
        {"WorkflowTwelveSteps", workflow(QStringList(12, kLaunch).join(u',')), s("Workflow ran 12 steps"), open(s("A")).repeated(12)},
        {"WorkflowThirteenStepsRunsNone", workflow(QStringList(13, kLaunch).join(u',')), s("error: Workflow can run at most 12 steps"), {}},
        {"WorkflowStepsText", s(R"({"type":"workflow","steps":"launch"})"), s("Workflow ran 0 steps"), {}},
        {"WorkflowStepNotObject", workflow(kLaunch + s(",7")), s("Workflow ran 0 steps"), {}},
        {"WorkflowLabelNotText", s(R"({"type":"workflow","label":3,"steps":[)") + kLaunch + s("]}"), s("Workflow ran 1 steps"), open(s("A"))},
        {"WorkflowThreeLevels", workflow(kLaunch, 3), s("Workflow ran 1 steps"), open(s("A"))},
        {"WorkflowFourLevelsEndsAll", workflow(kLaunch + u',' + workflow(kLaunch, 3) + u',' + kLaunch), s("error: Workflow is nested too deeply"), open(s("A"))},
        {"WorkflowStopsAtFailingStep", workflow(s(R"({"type":"launch","app":"A"},{"type":"launch","app":"Broken"},{"type":"launch","app":"C"})")), s("error: no such app"), open(s("A")) + open(s("Broken"))},
    };
    // clang-format on
    // The opener refuses the application "Broken" the way a real one fails.
    TempEnvironment env;
    const QString log = env.path() + s("/calls");
    const QString record = s("printf '%s|' %1 \"$@\" >> '%2'; echo >> '%2'\n");
    CoreServices services = CoreServices::defaults();
    services.scriptRunnerPath = env.writeScript(s("runner"), record.arg(s("run"), log));
    services.documentOpenerPath = env.writeScript(
        s("opener"), record.arg(s("open"), log) +
                         s("[ \"$2\" != Broken ] || { echo 'no such app' >&2; exit 1; }\n"));
    AgentCore core(services);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(log);
        const QJsonObject action = QJsonDocument::fromJson(c.action.toUtf8()).object();
        EXPECT_EQ(outcome([&] { return core.executeAction(action, 0); }), c.expected.toStdString());
        QFile file(log);
        EXPECT_EQ(file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString(),
                  c.calls);
    }
}

constexpr AudioBackend::DeviceId A = 3, B = 5, C = 9, D = 12;

// The system controls that cycle the default audio devices.
TEST(Actions, CycleDefaultAudio) {
    // clang-format off
    // setUp starts from A, B, C named, default B.
    const struct { const char* name; std::function<void(FakeAudioBackend&)> setUp; const char* expected; std::vector<AudioBackend::DeviceId> requested; std::optional<AudioBackend::DeviceId> defaultAfter; const char* target = "audio-output-next"; } cases[] = {
        {"NamelessInput", [](FakeAudioBackend& a) { a.names.erase(C); }, "Input → device 9", {C}, C, "audio-input-next"},
        {"ReadBackMissesThenNext", [](FakeAudioBackend& a) { a.ignored = {C}; }, "Output → Speakers", {C, A}, A},
        {"NoSwitchTakesEffect", [](FakeAudioBackend& a) { a.ignored = {C, A}; }, "Output → no other switchable device (Headset kept)", {C, A}, B},
        {"RefusedSwitchStopsTheWalk", [](FakeAudioBackend& a) { a.refused = {C}; }, "error: Could not switch the default device", {C}, B},
        {"DefaultOutsideListStartsAtFirst", [](FakeAudioBackend& a) { a.current = D; }, "Output → Speakers", {A}, A},
        {"UnreadableDefaultIsFirst", [](FakeAudioBackend& a) { a.current.reset(); }, "Output → Headset", {B}, B},
        {"SingleNamelessDevice", [](FakeAudioBackend& a) { a.all = {D, A}; a.silent = {A}; }, "Output → only one device: unknown", {}, B},
        {"NoDeviceWithStreams", [](FakeAudioBackend& a) { a.silent = {A, B, C}; }, "error: No audio devices found", {}, B},
        {"ListUnreadable", [](FakeAudioBackend& a) { a.all.reset(); }, "error: Could not list audio devices", {}, B},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto backend = std::make_shared<FakeAudioBackend>();
        FakeAudioBackend& audio = *backend;
        audio.all = {A, B, C};
        audio.names = {{A, "Speakers"}, {B, "Headset"}, {C, "HDMI"}};
        audio.current = B;
        c.setUp(audio);
        const auto before = audio.current;
        CoreServices services = CoreServices::defaults();
        services.audio = backend;
        AgentCore core(services);
        const QJsonObject action{{s("type"), s("system")}, {s("target"), s(c.target)}};
        EXPECT_EQ(outcome([&] { return core.executeAction(action, 0); }), c.expected);
        EXPECT_EQ(audio.requested, c.requested);
        EXPECT_EQ(audio.current, c.defaultAfter);
        // Streams follow exactly the switch that took effect.
        EXPECT_EQ(audio.followed, audio.current != before ? std::vector{*audio.current}
                                                          : std::vector<AudioBackend::DeviceId>{});
    }
}

TEST(RunProcess, GivesOutputOrError) {
    // clang-format off
    const struct { const char* name; const char* script; std::string expected; } cases[] = {
        {"TrimsOutputKeepsInnerBreaks", "printf ' \\n\\t one\\n two \\r\\n\\n'", "one\n two"},
        {"InvalidUtf8IsEmpty", "printf 'ok\\377'", ""},
        {"FailureCarriesTrimmedStderr", "echo out; echo '  it broke \n' >&2; exit 3", "error: it broke"},
        {"FailureWithoutStderr", "exit 1", "error: Command failed"},
        {"FailureWithInvalidUtf8Stderr", "printf '\\377' >&2; exit 1", "error: Command failed"},
        {"KilledBySignalFails", "kill -9 $$", "error: Command failed"},
        // Regression: output beyond the pipe buffer stalled the child until the watchdog.
        {"LargeOutputDoesNotStall", "head -c 1048576 /dev/zero | tr '\\0' x; head -c 300000 /dev/zero >&2", std::string(1048576, 'x')},
        {"GrandchildHoldingPipeDoesNotBlock", "(sleep 30 &) ; echo done", "done"},
        {"ArgumentsVerbatim", "printf '%s' \"$1\"", "quote \" back\\slash\nline ünï"},
        // The watchdog grants 7 s: a termination request during the first 6.5 s says "early".
        {"ChildObeyingTerminationFails", "trap 'echo $at >&2; exit 143' TERM; at=early; sleep 6.5 & wait; at=stopped; while :; do sleep 0.1; done", "error: stopped"},
        // Regression: a child that ignores the termination request blocked the caller forever.
        {"ChildIgnoringTerminationIsKilled", "trap '' TERM; while :; do sleep 0.1; done", "error: Command failed"},
    };
    // clang-format on
    const QString argument = s("quote \" back\\slash\nline ünï");
    for (const auto& c : cases) {
        const QStringList arguments{s("-c"), s(c.script), s("sh"), argument};
        EXPECT_EQ(outcome([&] { return runProcess(s("/bin/sh"), arguments); }), c.expected)
            << c.name;
    }

    EXPECT_EQ(outcome([] { return runProcess(s("/nonexistent/program"), {}); }),
              "error: Could not launch /nonexistent/program: No such file or directory");
}

} // namespace
