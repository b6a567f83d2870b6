#include "AgentCore.h"
#include "AgentError.h"
#include "PulseServer.h"
#include "TempEnvironment.h"

#include <QJsonObject>
#include <gtest/gtest.h>

namespace {

class AudioVerbs : public testing::Test {
protected:
    TempEnvironment env;
    PulseServer server{{{QStringLiteral("sinkA"), QStringLiteral("Speakers A")}}, {}};
    std::unique_ptr<AgentCore> core;

    void SetUp() override {
        ASSERT_TRUE(server.isRunning()) << server.log().toStdString();
        CoreServices services = CoreServices::defaults();
        services.scriptRunnerPath = QStringLiteral(VANTOR_RUNTIME_DIR "/vantor-osascript");
        core = std::make_unique<AgentCore>(services);
    }
    static QString pactl(const char* verb, const char* value = nullptr) {
        QStringList arguments{QString::fromLatin1(verb), QStringLiteral("@DEFAULT_SINK@")};
        if (value)
            arguments.append(QString::fromLatin1(value));
        return PulseServer::pactl(arguments);
    }
    QString system(const char* control) {
        try {
            return core->executeAction(
                QJsonObject{{QStringLiteral("type"), QStringLiteral("system")},
                            {QStringLiteral("target"), QLatin1String(control)}},
                0);
        } catch (const AgentError& error) {
            return QStringLiteral("refused: ") + error.message();
        }
    }
};

TEST_F(AudioVerbs, VolumeStepsStopAtTheEnds) {
    const struct {
        const char* start;
        const char* control;
        const char* end;
    } rows[] = {{"96%", "volume-up", "100%"},
                {"3%", "volume-down", "0%"},
                {"50%", "volume-up", "57%"},
                {"50%", "volume-down", "43%"}};
    for (const auto& row : rows) {
        pactl("set-sink-volume", row.start);
        EXPECT_EQ(system(row.control), QStringLiteral("System: ") + QLatin1String(row.control));
        // "Volume: front-left: N / 96% / ..."
        EXPECT_EQ(pactl("get-sink-volume").section(QLatin1Char('/'), 1, 1).trimmed(),
                  QLatin1String(row.end))
            << row.start << " " << row.control;
    }
}

TEST_F(AudioVerbs, MuteToggleTwiceRestoresAndNoServerIsACleanFailure) {
    EXPECT_EQ(pactl("get-sink-mute"), QStringLiteral("Mute: no"));
    for (const char* state : {"Mute: yes", "Mute: no"}) {
        EXPECT_EQ(system("mute-toggle"), QStringLiteral("System: mute-toggle"));
        EXPECT_EQ(pactl("get-sink-mute"), QLatin1String(state));
    }
    server.stop();
    const QString result = system("volume-up");
    EXPECT_TRUE(result.startsWith(QStringLiteral("refused: pa_context_connect")))
        << result.toStdString();
}

} // namespace
