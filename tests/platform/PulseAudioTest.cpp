#include "PulseAudio.h"

#include "AgentError.h"
#include "AudioDevices.h"
#include "PulseAudioBackend.h"
#include "PulseServer.h"
#include "TempEnvironment.h"

#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <csignal>
#include <gtest/gtest.h>

namespace {

using pulse::DeviceKind;
using Scope = AudioDevices::Scope;

const QList<PulseServer::Device> kSinks{{QStringLiteral("sinkA"), QStringLiteral("Speakers A")},
                                        {QStringLiteral("sinkB"), QStringLiteral("Headset B")},
                                        {QStringLiteral("sinkC"), QStringLiteral("HDMI C")}};
const QList<PulseServer::Device> kSources{{QStringLiteral("micA"), QStringLiteral("Mic A")},
                                          {QStringLiteral("micB"), QStringLiteral("Mic B")}};

// The server's own command-line client, as the independent witness.
QString pactl(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QString cycle(AudioBackend& backend, Scope scope) {
    try {
        return AudioDevices::cycleDefault(backend, scope);
    } catch (const AgentError& error) {
        return QStringLiteral("error: ") + error.message();
    }
}

// Stream index to device index, from `pactl list short sink-inputs` (or source-outputs).
QMap<QString, QString> streams(const QString& what) {
    QMap<QString, QString> found;
    for (const QString& line : pactl({QStringLiteral("list"), QStringLiteral("short"), what})
                                   .split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        found.insert(line.section(QLatin1Char('\t'), 0, 0), line.section(QLatin1Char('\t'), 1, 1));
    return found;
}

class PulseFixture : public testing::Test {
protected:
    TempEnvironment env;
    PulseServer server{kSinks, kSources};
    pulse::PulseAudio pulse;
    PulseAudioBackend backend;

    void SetUp() override { ASSERT_TRUE(server.isRunning()) << server.log().toStdString(); }
};

TEST_F(PulseFixture, OutputCyclesInListOrderAndWraps) {
    pulse.setDefaultDevice(DeviceKind::Sink, "sinkB");
    const std::vector<std::pair<const char*, const char*>> steps{
        {"HDMI C", "sinkC"}, {"Speakers A", "sinkA"}, {"Headset B", "sinkB"}};
    for (const auto& [result, sink] : steps) {
        EXPECT_EQ(cycle(backend, Scope::Output).toStdString(), result);
        EXPECT_EQ(pactl({QStringLiteral("get-default-sink")}).toStdString(), sink);
    }
}

TEST_F(PulseFixture, InputCyclesSkippingMonitors) {
    pulse.setDefaultDevice(DeviceKind::Source, "micA");
    for (const auto& [result, source] : {std::pair{"Mic B", "micB"}, std::pair{"Mic A", "micA"}}) {
        EXPECT_EQ(cycle(backend, Scope::Input).toStdString(), result);
        EXPECT_EQ(pactl({QStringLiteral("get-default-source")}).toStdString(), source);
    }
}

TEST_F(PulseFixture, ListsDevicesWithTheirNames) {
    std::vector<std::string> sinks, sources;
    for (const pulse::Device& device : pulse.devices(DeviceKind::Sink)) {
        sinks.push_back(device.name + "=" + device.description);
        EXPECT_EQ(backend.name(AudioScope::Output, device.index), device.description);
    }
    for (const pulse::Device& device : pulse.playbackOrCaptureDevices(DeviceKind::Source))
        sources.push_back(device.name + "=" + device.description);
    EXPECT_EQ(sinks,
              (std::vector<std::string>{"sinkA=Speakers A", "sinkB=Headset B", "sinkC=HDMI C"}));
    EXPECT_EQ(sources, (std::vector<std::string>{"micA=Mic A", "micB=Mic B"}));
    EXPECT_EQ(pulse.devices(DeviceKind::Source).size(), 5u);
    EXPECT_FALSE(pulse.device(DeviceKind::Sink, 4000).has_value());
}

// PulseAudio itself moves only the streams that follow the default; a stream the user has put on
// a device stays there unless the switch moves it.
TEST(PulseStreams, PinnedStreamsFollowTheNewDefault) {
    TempEnvironment env;
    PulseServer server{kSinks, kSources + QList<PulseServer::Device>{
                                              {QStringLiteral("micC"), QStringLiteral("Mic C")}}};
    ASSERT_TRUE(server.isRunning()) << server.log().toStdString();
    pulse::PulseAudio pulse;
    PulseAudioBackend backend;
    const auto indexOf = [&](DeviceKind kind, const char* name) {
        for (const pulse::Device& device : pulse.devices(kind))
            if (device.name == name)
                return QString::number(device.index);
        return QString();
    };
    pulse.setDefaultDevice(DeviceKind::Sink, "sinkA");
    pulse.setDefaultDevice(DeviceKind::Source, "micA");

    QProcess player, recorder, meter;
    for (auto [process, arguments] :
         {std::pair{&player, QStringList{QStringLiteral("--playback")}},
          std::pair{&recorder, QStringList{QStringLiteral("--record")}},
          std::pair{&meter, QStringList{QStringLiteral("--record"),
                                        QStringLiteral("--device=sinkA.monitor")}}}) {
        process->setStandardInputFile(QStringLiteral("/dev/zero"));
        process->setStandardOutputFile(QProcess::nullDevice());
        process->start(QStringLiteral("pacat"), arguments << QStringLiteral("--raw"));
    }
    ASSERT_TRUE(waitUntil([&] {
        return streams(QStringLiteral("sink-inputs")).size() == 1 &&
               streams(QStringLiteral("source-outputs")).size() == 2;
    }));
    const QString played = streams(QStringLiteral("sink-inputs")).firstKey();
    const QString recorded =
        streams(QStringLiteral("source-outputs")).key(indexOf(DeviceKind::Source, "micA"));
    pactl({QStringLiteral("move-sink-input"), played, QStringLiteral("sinkC")});
    pactl({QStringLiteral("move-source-output"), recorded, QStringLiteral("micC")});

    EXPECT_EQ(cycle(backend, Scope::Output).toStdString(), "Headset B");
    EXPECT_EQ(streams(QStringLiteral("sink-inputs")).value(played).toStdString(),
              indexOf(DeviceKind::Sink, "sinkB").toStdString());
    EXPECT_EQ(cycle(backend, Scope::Input).toStdString(), "Mic B");
    const auto recording = streams(QStringLiteral("source-outputs"));
    EXPECT_EQ(recording.value(recorded).toStdString(),
              indexOf(DeviceKind::Source, "micB").toStdString());
    // The level meter stays on the speakers' monitor.
    EXPECT_EQ(recording.values().count(indexOf(DeviceKind::Source, "sinkA.monitor")), 1);
    for (QProcess* process : {&player, &recorder, &meter}) {
        process->kill();
        process->waitForFinished();
    }
}

TEST_F(PulseFixture, VolumeInPercentKeepsBalanceAndMuteFlag) {
    pulse.setDefaultDevice(DeviceKind::Sink, "sinkA");
    const QRegularExpression percent(QStringLiteral("(\\d+)%"));
    const auto channels = [&] {
        QStringList found;
        for (const auto& match : percent.globalMatch(
                 pactl({QStringLiteral("get-sink-volume"), QStringLiteral("sinkA")})))
            found.append(match.captured(1));
        return found.join(QLatin1Char(' '));
    };
    for (const int value : {96, 3}) {
        pulse.setDefaultSinkVolumePercent(value);
        EXPECT_EQ(pulse.defaultSinkVolumePercent(), value);
        EXPECT_EQ(channels(), QStringLiteral("%1 %1").arg(value));
    }
    pactl({QStringLiteral("set-sink-volume"), QStringLiteral("sinkA"), QStringLiteral("40%"),
           QStringLiteral("80%")});
    EXPECT_EQ(pulse.defaultSinkVolumePercent(), 80);
    pulse.setDefaultSinkVolumePercent(40);
    EXPECT_EQ(channels(), QStringLiteral("20 40"));

    for (const bool muted : {true, false}) {
        pulse.setDefaultSinkMuted(muted);
        EXPECT_EQ(pulse.defaultSinkMuted(), muted);
        EXPECT_EQ(pactl({QStringLiteral("get-sink-mute"), QStringLiteral("sinkA")}),
                  muted ? QStringLiteral("Mute: yes") : QStringLiteral("Mute: no"));
    }
}

TEST_F(PulseFixture, VanishedServerIsRefusedAndARestartedOneServes) {
    EXPECT_FALSE(cycle(backend, Scope::Output).startsWith(QStringLiteral("error")));
    server.stop();
    EXPECT_EQ(cycle(backend, Scope::Output).toStdString(), "error: Could not list audio devices");
    EXPECT_THROW(pulse.defaultSinkVolumePercent(), pulse::PulseError);
    ASSERT_TRUE(server.start()) << server.log().toStdString();
    EXPECT_FALSE(cycle(backend, Scope::Output).startsWith(QStringLiteral("error")));
    EXPECT_NO_THROW(pulse.setDefaultSinkMuted(true));
}

TEST_F(PulseFixture, ServerThatStopsAnsweringIsRefusedNotWaitedFor) {
    EXPECT_FALSE(cycle(backend, Scope::Output).startsWith(QStringLiteral("error")));
    ASSERT_EQ(kill(static_cast<pid_t>(server.processId()), SIGSTOP), 0);
    EXPECT_EQ(cycle(backend, Scope::Output).toStdString(), "error: Could not list audio devices");
    ASSERT_EQ(kill(static_cast<pid_t>(server.processId()), SIGCONT), 0);
    EXPECT_FALSE(cycle(backend, Scope::Output).startsWith(QStringLiteral("error")));
}

TEST(PulseSingleDevices, OneDeviceEachWayIsKept) {
    TempEnvironment env;
    PulseServer server{{kSinks.first()}, {kSources.first()}};
    ASSERT_TRUE(server.isRunning()) << server.log().toStdString();
    PulseAudioBackend backend;
    EXPECT_EQ(cycle(backend, Scope::Output).toStdString(), "only one device: Speakers A");
    EXPECT_EQ(cycle(backend, Scope::Input).toStdString(), "only one device: Mic A");
}

} // namespace
