// The cost of one runProcess call against the floor of a bare posix_spawn + waitpid of the same
// program: the agent pays it up to twice every 0.7 s.
#include "RunProcess.h"

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

static void BM_BareSpawnWait(benchmark::State& state) {
    char program[] = "/bin/true";
    char* argv[] = {program, nullptr};
    for (auto _ : state) {
        pid_t pid;
        posix_spawn(&pid, program, nullptr, nullptr, argv, environ);
        int status;
        waitpid(pid, &status, 0);
    }
}

static void BM_RunProcess(benchmark::State& state) {
    const QString program = QStringLiteral("/bin/true");
    for (auto _ : state)
        benchmark::DoNotOptimize(runProcess(program, {}));
}

BENCHMARK(BM_BareSpawnWait)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_RunProcess)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK_MAIN();
