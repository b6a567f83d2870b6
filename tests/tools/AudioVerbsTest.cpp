#include "PulseServer.h"
#include "RunHelper.h"
#include "SystemControls.h"
#include "TempEnvironment.h"

#include <QProcess>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

class AudioVerbs : public testing::TestWithParam<PulseServer::Kind> {};

// On a sink that plays, as when the user reaches for the volume (one that never played:
// pulse_tests).
TEST_P(AudioVerbs, StepTheVolumeWithinItsEndsToggleMuteAndFailCleanlyWithoutAServer) {
    TempEnvironment env;
    PulseServer server{{{u"sinkA"_s, u"Speakers A"_s}}, {}, GetParam()};
    ASSERT_TRUE(server.isRunning());
    QProcess player;
    player.setStandardInputFile(QStringLiteral("/dev/zero"));
    player.start(QStringLiteral("pacat"), {QStringLiteral("--playback"), QStringLiteral("--raw")});
    ASSERT_TRUE(
        waitUntil([] { return !PulseServer::pactl(u"list short sink-inputs"_s).isEmpty(); }));
    // The helper running the agent's own script of `control`.
    const auto system = [](const char* control) {
        return runHelper("vantor-osascript",
                         {u"-e"_s, systemVerbScripts().value(QLatin1String(control))});
    };

    for (const auto& [start, control, end] : {std::tuple{"96%", "volume-up", "100%"},
                                              {"3%", "volume-down", "0%"},
                                              {"50%", "volume-up", "57%"}}) {
        // "Volume: front-left: N / 96% / ..."
        const auto volume = [] {
            return PulseServer::pactl(u"get-sink-volume @DEFAULT_SINK@"_s)
                .section(QLatin1Char('/'), 1, 1)
                .trimmed();
        };
        ASSERT_TRUE(PulseServer::pactlUntil(u"set-sink-volume @DEFAULT_SINK@ "_s +
                                                QLatin1String(start),
                                            [&] { return volume() == QLatin1String(start); }));
        EXPECT_EQ(system(control), QString());
        EXPECT_EQ(volume(), QLatin1String(end)) << start << " " << control;
    }

    for (const char* state : {"Mute: yes", "Mute: no"}) {
        EXPECT_EQ(system("mute-toggle"), QString());
        EXPECT_EQ(PulseServer::pactl(u"get-sink-mute @DEFAULT_SINK@"_s), QLatin1String(state));
    }
    server.stop();
    EXPECT_TRUE(system("volume-up").startsWith(u"refused: pa_context_connect"_s));
}

INSTANTIATE_TEST_SUITE_P(Servers, AudioVerbs,
                         testing::Values(PulseServer::Kind::PulseAudio,
                                         PulseServer::Kind::PipeWire),
                         [](const auto& info) { return PulseServer::name(info.param); });

} // namespace
