#include "AgentCore.h"
#include "AgentError.h"
#include "PulseServer.h"
#include "TempEnvironment.h"

#include <QJsonObject>
#include <gtest/gtest.h>

namespace {

QString pactl(const char* verb, const char* value = nullptr) {
    QStringList arguments{QString::fromLatin1(verb), QStringLiteral("@DEFAULT_SINK@")};
    if (value)
        arguments.append(QString::fromLatin1(value));
    return PulseServer::pactl(arguments);
}

TEST(AudioVerbs, StepTheVolumeWithinItsEndsToggleMuteAndFailCleanlyWithoutAServer) {
    TempEnvironment env;
    PulseServer server{{{QStringLiteral("sinkA"), QStringLiteral("Speakers A")}}, {}};
    ASSERT_TRUE(server.isRunning()) << server.log().toStdString();
    CoreServices services = CoreServices::defaults();
    services.scriptRunnerPath = QStringLiteral(VANTOR_RUNTIME_DIR "/vantor-osascript");
    AgentCore core(services);
    const auto system = [&](const char* control) {
        try {
            return core.executeAction(
                QJsonObject{{QStringLiteral("type"), QStringLiteral("system")},
                            {QStringLiteral("target"), QLatin1String(control)}},
                0);
        } catch (const AgentError& error) {
            return QStringLiteral("refused: ") + error.message();
        }
    };

    for (const auto& [start, control, end] : {std::tuple{"96%", "volume-up", "100%"},
                                              {"3%", "volume-down", "0%"},
                                              {"50%", "volume-up", "57%"},
                                              {"50%", "volume-down", "43%"}}) {
        pactl("set-sink-volume", start);
        EXPECT_EQ(system(control), QStringLiteral("System: ") + QLatin1String(control));
        // "Volume: front-left: N / 96% / ..."
        EXPECT_EQ(pactl("get-sink-volume").section(QLatin1Char('/'), 1, 1).trimmed(),
                  QLatin1String(end))
            << start << " " << control;
    }

    EXPECT_EQ(pactl("get-sink-mute"), QStringLiteral("Mute: no"));
    for (const char* state : {"Mute: yes", "Mute: no"}) {
        EXPECT_EQ(system("mute-toggle"), QStringLiteral("System: mute-toggle"));
        EXPECT_EQ(pactl("get-sink-mute"), QLatin1String(state));
    }
    server.stop();
    EXPECT_TRUE(system("volume-up").startsWith(QStringLiteral("refused: pa_context_connect")));
}

} // namespace
