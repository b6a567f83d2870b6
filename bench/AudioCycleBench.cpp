// The cost of one "audio-output-next" action through the dispatcher against a real sound server
// with three null sinks, PulseAudio and then PipeWire in the same run: the agent's own case (one
// kept connection, each switch waiting for the server to report its new default) and, for
// reference, the switch alone on a backend that connects afresh every time, as a short-lived
// helper would.
#include "AgentCore.h"
#include "AudioDevices.h"
#include "PulseAudioBackend.h"
#include "PulseServer.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <memory>

namespace {

const QJsonObject kOutputNext{{QStringLiteral("type"), QStringLiteral("system")},
                              {QStringLiteral("target"), QStringLiteral("audio-output-next")}};

// The server of the benchmark running now: started (outside the timing) when the first benchmark
// of its kind starts, and kept for the others of that kind.
std::unique_ptr<PulseServer> server;

void useServer(benchmark::State& state) {
    const auto kind = static_cast<PulseServer::Kind>(state.range(0));
    state.SetLabel(PulseServer::name(kind));
    if (server && server->kind() == kind)
        return;
    server.reset();
    server = std::make_unique<PulseServer>(
        QList<PulseServer::Device>{{QStringLiteral("sinkA"), QStringLiteral("Speakers A")},
                                   {QStringLiteral("sinkB"), QStringLiteral("Headset B")},
                                   {QStringLiteral("sinkC"), QStringLiteral("HDMI C")}},
        QList<PulseServer::Device>{}, kind);
    if (!server->isRunning())
        state.SkipWithError("the sound server did not start");
}

void BM_AudioOutputNext(benchmark::State& state) {
    useServer(state);
    CoreServices services = CoreServices::defaults();
    services.audio = std::make_shared<PulseAudioBackend>();
    AgentCore core(services);
    for (auto _ : state)
        benchmark::DoNotOptimize(core.executeAction(kOutputNext, 0));
}

void BM_AudioOutputNextFreshConnection(benchmark::State& state) {
    useServer(state);
    for (auto _ : state) {
        PulseAudioBackend backend;
        benchmark::DoNotOptimize(AudioDevices::cycleDefault(backend, AudioDevices::Scope::Output));
    }
}

} // namespace

// Argument 0: PulseAudio, 1: PipeWire; all of one server's runs come before the other's.
BENCHMARK(BM_AudioOutputNext)
    ->Arg(0)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_AudioOutputNextFreshConnection)
    ->Arg(0)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_AudioOutputNext)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_AudioOutputNextFreshConnection)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // A private home, so the core reads no real pairing.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    server.reset();
    return 0;
}
