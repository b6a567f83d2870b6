#include "AgentCore.h"
#include "AgentError.h"
#include "PulseServer.h"
#include "TempEnvironment.h"

#include <QJsonObject>
#include <QProcess>
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
    QString pactl(const QStringList& arguments) {
        QProcess process;
        process.start(QStringLiteral("pactl"), arguments);
        process.waitForFinished();
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }
    QString volume() { // "Volume: front-left: N / 96% / ..."
        return pactl({QStringLiteral("get-sink-volume"), QStringLiteral("@DEFAULT_SINK@")})
            .section(QLatin1Char('/'), 1, 1)
            .trimmed();
    }
    QString system(const QString& control) {
        try {
            return core->executeAction(
                QJsonObject{{QStringLiteral("type"), QStringLiteral("system")},
                            {QStringLiteral("target"), control}},
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
        pactl({QStringLiteral("set-sink-volume"), QStringLiteral("@DEFAULT_SINK@"),
               QString::fromLatin1(row.start)});
        const QString control = QString::fromLatin1(row.control);
        EXPECT_EQ(system(control), QStringLiteral("System: ") + control);
        EXPECT_EQ(volume(), QString::fromLatin1(row.end)) << row.start << " " << row.control;
    }
}

TEST_F(AudioVerbs, MuteToggleTwiceRestores) {
    const QStringList mute{QStringLiteral("get-sink-mute"), QStringLiteral("@DEFAULT_SINK@")};
    EXPECT_EQ(pactl(mute), QStringLiteral("Mute: no"));
    for (const char* state : {"Mute: yes", "Mute: no"}) {
        EXPECT_EQ(system(QStringLiteral("mute-toggle")), QStringLiteral("System: mute-toggle"));
        EXPECT_EQ(pactl(mute), QLatin1String(state));
    }
}

TEST_F(AudioVerbs, NoAudioServerIsACleanFailure) {
    server.stop();
    const QString result = system(QStringLiteral("volume-up"));
    EXPECT_TRUE(result.startsWith(QStringLiteral("refused: pa_context_connect")))
        << result.toStdString();
}

} // namespace
