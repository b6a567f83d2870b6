// The cost of one "audio-output-next" action through the dispatcher against a real PulseAudio
// server with three null sinks: the agent's own case (one kept connection) and, for reference,
// the switch alone on a backend that connects afresh every time, as a short-lived helper would.
#include "AgentCore.h"
#include "AudioDevices.h"
#include "PulseAudioBackend.h"
#include "PulseServer.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdio>

namespace {

const QJsonObject kOutputNext{{QStringLiteral("type"), QStringLiteral("system")},
                              {QStringLiteral("target"), QStringLiteral("audio-output-next")}};

void BM_AudioOutputNext(benchmark::State& state) {
    CoreServices services = CoreServices::defaults();
    services.audio = std::make_shared<PulseAudioBackend>();
    AgentCore core(services);
    for (auto _ : state)
        benchmark::DoNotOptimize(core.executeAction(kOutputNext, 0));
}

void BM_AudioOutputNextFreshConnection(benchmark::State& state) {
    for (auto _ : state) {
        PulseAudioBackend backend;
        benchmark::DoNotOptimize(AudioDevices::cycleDefault(backend, AudioDevices::Scope::Output));
    }
}

} // namespace

BENCHMARK(BM_AudioOutputNext)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_AudioOutputNextFreshConnection)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // A private home, so the core reads no real pairing.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    PulseServer server{{{QStringLiteral("sinkA"), QStringLiteral("Speakers A")},
                        {QStringLiteral("sinkB"), QStringLiteral("Headset B")},
                        {QStringLiteral("sinkC"), QStringLiteral("HDMI C")}},
                       {}};
    if (!server.isRunning()) {
        std::fprintf(stderr, "pulseaudio did not start\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
