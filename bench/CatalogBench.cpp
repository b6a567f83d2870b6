// The catalogue and icon export over this machine's real application folders and icon themes:
// a cold listApps() (a fresh catalogue each time, so the 300 s list cache never answers; the
// kernel's file cache stays warm) and one GET /app-icon answer (resolve, theme lookup, render,
// PNG, Base64, JSON) for each application the catalogue lists.
#include "AppCatalog.h"
#include "AppRoutes.h"

#include <benchmark/benchmark.h>

static void BM_ColdListApps(benchmark::State& state) {
    const QStringList roots = AppCatalog::shared().roots();
    qsizetype count = 0;
    for (auto _ : state) {
        AppCatalog catalog(roots);
        count = catalog.listApps().apps.size();
    }
    state.counters["apps"] = double(count);
}

static void BM_AppIconAnswer(benchmark::State& state) {
    AppCatalog& catalog = AppCatalog::shared();
    const auto apps = catalog.listApps().apps;
    if (apps.isEmpty()) {
        state.SkipWithError("no applications installed");
        return;
    }
    qsizetype next = 0;
    for (auto _ : state) {
        const AppEntry& app = apps.at(next++ % apps.size());
        const auto answer = approutes::appIcon(catalog, {{QStringLiteral("path"), app.path}});
        if (answer.status != "200 OK")
            state.SkipWithError("icon answer failed");
        benchmark::DoNotOptimize(answer.body.data());
    }
    state.counters["apps"] = double(apps.size());
}

BENCHMARK(BM_ColdListApps)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AppIconAnswer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
