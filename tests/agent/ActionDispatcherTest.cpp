#include "AgentCore.h"
#include "AgentError.h"
#include "AudioBackend.h"
#include "Log.h"
#include "RunProcess.h"
#include "TempEnvironment.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>
#include <map>
#include <set>

using namespace Qt::StringLiterals;

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
// One character within every character limit, 2,201 bytes of UTF-8.
const QString kHeavy = s("e") + QString(1100, QChar(0x301));
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
        // Pins one character of combining marks passing the character limit whole.
        {"TextOneCharacterPast2KiBFails", s(R"({"type":"launch","app":")") + kHeavy + s("\"}"), s("error: App is missing or too long"), {}},
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
        {"WorkflowLabelOf240CharactersKept", s(R"({"type":"workflow","label":")") + kLong240 + s(R"(","steps":[]})"), kLong240 + s(" ran 0 steps"), {}},
        // Pins a megabyte label reaching the result and the log: refused before any step runs.
        {"WorkflowLabelPast2KiBRunsNone", s(R"({"type":"workflow","label":")") + kHeavy + s(R"(","steps":[)") + kLaunch + s("]}"), s("error: Label is too long"), {}},
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

// Texts from outside written as they would reach the log: each row one path through the escaping
// and the cut.
TEST(Log, OneEventIsOneLineOfAtMostFourKiBWithNothingHidden) {
    const QString a4070(4070, u'a'), marks = u"e"_s + QString(200'000, QChar(0x301));
    const auto cut = [](const QString& kept, int more) {
        return kept + u"… ("_s + QString::number(more) + u" bytes more)"_s;
    };
    // clang-format off
    const struct { const char* name; QString text, line; } rows[] = {
        // Pins C1 controls reaching the log raw, next to the C0 ones and DEL.
        {"ControlsOfC0DelAndC1", u"a\nb\x7f\u0085\u009bc"_s, u"a\\u{000A}b\\u{007F}\\u{0085}\\u{009B}c"_s},
        // Pins a cloud text faking an escape with a literal backslash.
        {"BackslashCannotFakeAnEscape", u"\\x0a \\u{000A}"_s, u"\\u{005C}x0a \\u{005C}u{000A}"_s},
        // Pins line separators, bidi overrides and zero-width characters reaching the log raw.
        {"FormatAndSeparatorCharacters", u"\u2028\u2029\u202eabc\u200b\u2066\U000E0001"_s, u"\\u{2028}\\u{2029}\\u{202E}abc\\u{200B}\\u{2066}\\u{E0001}"_s},
        {"UnpairedSurrogate", QString(QChar(0xd800)) + u"x\U0001F600"_s, u"\\u{D800}x\U0001F600"_s},
        {"FourKiBExactlyIsWhole", QString(4096, u'a'), QString(4096, u'a')},
        // Pins one character of 200,000 combining marks becoming a 400 kB line.
        {"CutAtACharacter", marks, cut(marks.left(2037), 395'928)},
        {"CutNeverSplitsAUtf8Sequence", QString(4074, u'a') + QString(100, u'€'), cut(QString(4074, u'a'), 300)},
        {"CutNeverSplitsAnEscape", a4070 + QString(10, u'\n'), cut(a4070, 80)},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QStringList lines;
        setLogObserver([&](const QString& line) { lines.append(line); });
        logEvent(row.text);
        setLogObserver({});
        EXPECT_EQ(lines, QStringList(row.line));
        EXPECT_LE(lines.value(0).toUtf8().size(), 4096);
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
