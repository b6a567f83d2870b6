// One title sample as the agent takes it every 0.7 s: vantor-osascript with the title script
// against a private Xvfb + openbox with a focused window, next to a bare spawn of /bin/true.
#include "AgentContext.h"
#include "XDesktop.h"

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

void spawnAndWait(char* const* argv) {
    pid_t pid;
    posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ);
    int status;
    waitpid(pid, &status, 0);
}

void BM_BareTrue(benchmark::State& state) {
    char program[] = "/bin/true";
    char* argv[] = {program, nullptr};
    for (auto _ : state)
        spawnAndWait(argv);
}

void BM_TitleScript(benchmark::State& state) {
    std::string program = VANTOR_RUNTIME_DIR "/vantor-osascript";
    std::string option = "-e";
    std::string script = titleScript().toStdString();
    char* argv[] = {program.data(), option.data(), script.data(), nullptr};
    for (auto _ : state)
        spawnAndWait(argv);
}

} // namespace

BENCHMARK(BM_BareTrue)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_TitleScript)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
    XDesktop desktop;
    TestWindow window({.title = "Benchmark window"});
    if (!desktop.ready() || !window.waitUntilActive())
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
