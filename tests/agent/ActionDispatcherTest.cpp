#include "AgentCore.h"
#include "AgentError.h"
#include "FakeAudioBackend.h"
#include "TempEnvironment.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

namespace {

using Calls = std::vector<QStringList>;

// Both stand-in programs record their name and argv (one line per call, fields ending in 0x1f);
// the opener refuses the application "Broken" the way a real one fails.
class Dispatcher {
public:
    TempEnvironment env;
    QString logFile = env.path() + QStringLiteral("/calls");
    std::shared_ptr<FakeAudioBackend> audio = std::make_shared<FakeAudioBackend>();
    std::unique_ptr<AgentCore> core;

    Dispatcher() {
        const QString record = QStringLiteral(
            "printf '%1\\037' >> '%2'; printf '%s\\037' \"$@\" >> '%2'; echo >> '%2'\n");
        CoreServices services = CoreServices::defaults();
        services.scriptRunnerPath =
            env.writeScript(QStringLiteral("runner"), record.arg(QStringLiteral("run"), logFile));
        services.documentOpenerPath = env.writeScript(
            QStringLiteral("opener"),
            record.arg(QStringLiteral("open"), logFile) +
                QStringLiteral(
                    "[ \"$2\" = Broken ] && { echo 'no such app' >&2; exit 1; }\nexit 0\n"));
        audio->all = {1, 2};
        audio->names = {{1, "Speakers"}, {2, "Headset"}};
        audio->current = 1;
        services.audio = audio;
        core = std::make_unique<AgentCore>(services);
    }

    QString run(const QJsonObject& action) {
        try {
            return core->executeAction(action, 0);
        } catch (const AgentError& error) {
            return QStringLiteral("error: ") + error.message();
        }
    }

    Calls calls() const {
        QFile file(logFile);
        Calls calls;
        if (file.open(QIODevice::ReadOnly))
            for (const QByteArray& line : file.readAll().split('\n'))
                if (!line.isEmpty())
                    calls.push_back(QString::fromUtf8(line.chopped(1)).split(QChar(0x1f)));
        return calls;
    }
};

QJsonObject json(const QString& text) {
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

struct Case {
    const char* name;
    QString action;   // JSON text
    QString expected; // the result, or "error: " + the refusal's message
    Calls calls;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class Actions : public testing::TestWithParam<Case> {};

TEST_P(Actions, Dispatch) {
    const Case& c = GetParam();
    Dispatcher dispatcher;
    EXPECT_EQ(dispatcher.run(json(c.action)).toStdString(), c.expected.toStdString());
    EXPECT_EQ(dispatcher.calls(), c.calls);
}

QString s(const char* utf8) {
    return QString::fromUtf8(utf8);
}
QStringList open(const char* app) {
    return {s("open"), s("-a"), s(app)};
}
const QString kLaunch = s(R"({"type":"launch","app":"A"})");
const QString kLong240 = QStringLiteral("e\u0301").repeated(240);
QString nested(int levels) {
    QString action = kLaunch;
    for (int i = 0; i < levels; ++i)
        action = s(R"({"type":"workflow","steps":[)") + action + s("]}");
    return action;
}
QString workflowOf(int count) {
    return s(R"({"type":"workflow","steps":[)") +
           QStringList(count, kLaunch).join(QLatin1Char(',')) + s("]}");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Types, Actions, testing::Values(
    Case{"TypeInCapitals", s(R"({"type":"Launch","app":"A"})"), s("error: Unsupported action type"), {}},
    Case{"LaunchTrimsApp", s(R"({"type":"launch","app":" \n Text Editor\t"})"), s("Launched Text Editor"), {open("Text Editor")}},
    Case{"LaunchAppOnlySpaces", s(R"({"type":"launch","app":"   "})"), s("error: App is missing or too long"), {}},
    Case{"LaunchAppMissing", s(R"({"type":"launch"})"), s("error: App must be text"), {}},
    Case{"LaunchFailsInOpener", s(R"({"type":"launch","app":"Broken"})"), s("error: no such app"), {open("Broken")}},
    Case{"Text240CharactersPasses", s(R"({"type":"launch","app":")") + kLong240 + s("\"}"), s("Launched ") + kLong240, {{s("open"), s("-a"), kLong240}}},
    Case{"Text241CharactersFails", s(R"({"type":"launch","app":"x)") + kLong240 + s("\"}"), s("error: App is missing or too long"), {}},
    Case{"UrlKeptAsGiven", s(R"({"type":"url","target":" HTTPS://Example.COM/A%20b?q=1#F "})"), s("Opened HTTPS://Example.COM/A%20b?q=1#F"), {{s("open"), s("HTTPS://Example.COM/A%20b?q=1#F")}}},
    Case{"UrlHttp", s(R"({"type":"url","target":"http://127.0.0.1:8080"})"), s("Opened http://127.0.0.1:8080"), {{s("open"), s("http://127.0.0.1:8080")}}},
    Case{"UrlFile", s(R"({"type":"url","target":"file:///etc/passwd"})"), s("error: Only http and https URLs are allowed"), {}},
    Case{"UrlNotParseable", s(R"({"type":"url","target":"http://exa mple.com"})"), s("error: Only http and https URLs are allowed"), {}},
    Case{"UrlSchemeLookalike", s(R"({"type":"url","target":"javascript:http://x"})"), s("error: Only http and https URLs are allowed"), {}},
    Case{"UrlNumber", s(R"({"type":"url","target":7})"), s("error: URL must be text"), {}},
    Case{"ShortcutTrimmed", s(R"({"type":"shortcut","keys":"  command+shift+k "})"), s("Sent command+shift+k"), {{s("run"), s("-e"), s(R"(tell application "System Events" to keystroke "k" using {command down, shift down})")}}},
    Case{"ShortcutRefusedRunsNothing", s(R"({"type":"shortcut","keys":"cmd+k"})"), s("error: Unsupported shortcut key: cmd"), {}},
    Case{"ShortcutNotText", s(R"({"type":"shortcut","keys":{"k":1}})"), s("error: Shortcut must be text"), {}},
    Case{"SystemMuteToggle", s(R"({"type":"system","target":"mute-toggle"})"), s("System: mute-toggle"), {{s("run"), s("-e"), s("set volume output muted not (output muted of (get volume settings))")}}},
    Case{"SystemControlInCapitals", s(R"({"type":"system","target":" Volume-Up "})"), s("error: Unsupported system control: Volume-Up"), {}},
    Case{"SystemControlMissing", s(R"({"type":"system"})"), s("error: System control must be text"), {}},
    Case{"AudioOutputNext", s(R"({"type":"system","target":"audio-output-next"})"), s("Output → Headset"), {}},
    Case{"AudioInputNext", s(R"({"type":"system","target":"audio-input-next"})"), s("Input → Headset"), {}},
    Case{"WorkflowTwelveSteps", workflowOf(12), s("Workflow ran 12 steps"), Calls(12, open("A"))},
    Case{"WorkflowThirteenStepsRunsNone", workflowOf(13), s("error: Workflow can run at most 12 steps"), {}},
    Case{"WorkflowStepsText", s(R"({"type":"workflow","steps":"launch"})"), s("Workflow ran 0 steps"), {}},
    Case{"WorkflowStepNotObject", s(R"({"type":"workflow","steps":[)") + kLaunch + s(",7]}"), s("Workflow ran 0 steps"), {}},
    Case{"WorkflowLabel", s(R"({"type":"workflow","label":" Morning","steps":[)") + kLaunch + s("]}"), s(" Morning ran 1 steps"), {open("A")}},
    Case{"WorkflowLabelNotText", s(R"({"type":"workflow","label":3,"steps":[)") + kLaunch + s("]}"), s("Workflow ran 1 steps"), {open("A")}},
    Case{"WorkflowThreeLevels", nested(3), s("Workflow ran 1 steps"), {open("A")}},
    Case{"WorkflowFourLevelsEndsAll", s(R"({"type":"workflow","steps":[)") + kLaunch + s(",") + nested(3) + s(",") + kLaunch + s("]}"), s("error: Workflow is nested too deeply"), {open("A")}},
    Case{"WorkflowStopsAtFailingStep", s(R"({"type":"workflow","steps":[{"type":"launch","app":"A"},{"type":"launch","app":"Broken"},{"type":"launch","app":"C"}]})"), s("error: no such app"), {open("A"), open("Broken")}}));
// clang-format on

TEST(ActionBounds, TwelveByTwelveByTwelveWorkflowRunsEveryLeaf) {
    Dispatcher dispatcher;
    QJsonObject action{{QStringLiteral("type"), QStringLiteral("system")},
                       {QStringLiteral("target"), QStringLiteral("audio-output-next")}};
    for (int level = 0; level < 3; ++level)
        action =
            QJsonObject{{QStringLiteral("type"), QStringLiteral("workflow")},
                        {QStringLiteral("steps"),
                         QJsonArray::fromVariantList(QVariantList(12, action.toVariantMap()))}};
    EXPECT_EQ(dispatcher.run(action).toStdString(), "Workflow ran 12 steps");
    EXPECT_EQ(dispatcher.audio->requested.size(), 1728u);
}

TEST(ActionBounds, DefaultServicesHaveNoAudioDevices) {
    TempEnvironment env;
    AgentCore core;
    try {
        core.executeAction(json(s(R"({"type":"system","target":"audio-input-next"})")), 0);
        ADD_FAILURE() << "switched an input";
    } catch (const AgentError& error) {
        EXPECT_EQ(error.message().toStdString(), "Could not list audio devices");
    }
}

} // namespace
