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
#include <string>
#include <utility>

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

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // A private home, so the core reads no real pairing.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    benchmark::Initialize(&argc, argv);
    for (const auto kind : {PulseServer::Kind::PulseAudio, PulseServer::Kind::PipeWire}) {
        PulseServer server{{{QStringLiteral("sinkA"), QStringLiteral("Speakers A")},
                            {QStringLiteral("sinkB"), QStringLiteral("Headset B")},
                            {QStringLiteral("sinkC"), QStringLiteral("HDMI C")}},
                           {},
                           kind};
        if (!server.isRunning()) {
            std::fprintf(stderr, "%s did not start\n", PulseServer::name(kind));
            return 1;
        }
        benchmark::ClearRegisteredBenchmarks();
        for (const auto& [name, function] :
             {std::pair{"BM_AudioOutputNext/", &BM_AudioOutputNext},
              std::pair{"BM_AudioOutputNextFreshConnection/", &BM_AudioOutputNextFreshConnection}})
            benchmark::RegisterBenchmark((name + std::string(PulseServer::name(kind))).c_str(),
                                         function)
                ->Unit(benchmark::kMicrosecond)
                ->UseRealTime()
                ->Repetitions(5)
                ->ReportAggregatesOnly(true);
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    return 0;
}
