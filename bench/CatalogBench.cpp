// The catalogue and icon export over this machine's real application folders and icon themes:
// a cold listApps() (a fresh catalogue each time, so the 300 s list cache never answers; the
// kernel's file cache stays warm) and one GET /app-icon answer (resolve, theme lookup, render,
// PNG, Base64, JSON) for each application the catalogue lists, called directly and as a whole
// GET /app-icon request through the loopback server.
#include "AgentCore.h"
#include "AppCatalog.h"
#include "AppRoutes.h"
#include "LocalServer.h"

#include <QCoreApplication>
#include <QUrl>
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
        if (answer.status != QLatin1String("200 OK"))
            state.SkipWithError("icon answer failed");
        benchmark::DoNotOptimize(answer.body.data());
    }
    state.counters["apps"] = double(apps.size());
}

// One request on a fresh connection, read to the server's close; the status line is returned.
static QByteArray getOnce(quint16 port, const QByteArray& target) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QByteArray received;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const QByteArray request = "GET " + target + " HTTP/1.1\r\n\r\n";
        ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL);
        char chunk[65536];
        for (ssize_t got; (got = ::recv(fd, chunk, sizeof chunk, 0)) > 0;)
            received.append(chunk, got);
    }
    ::close(fd);
    return received.left(received.indexOf("\r\n"));
}

static void BM_AppIconRequest(benchmark::State& state) {
    const auto apps = AppCatalog::shared().listApps().apps;
    if (apps.isEmpty()) {
        state.SkipWithError("no applications installed");
        return;
    }
    AgentCore core;
    LocalServer server(&core, 0);
    server.start();
    qsizetype next = 0;
    for (auto _ : state) {
        const QByteArray path = QUrl::toPercentEncoding(apps.at(next++ % apps.size()).path);
        if (getOnce(server.port(), "/app-icon?path=" + path) != "HTTP/1.1 200 OK")
            state.SkipWithError("icon request failed");
    }
}

BENCHMARK(BM_ColdListApps)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AppIconAnswer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AppIconRequest)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
