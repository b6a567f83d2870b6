// Event-stream fan-out: opens N streams to a server in this process, then times B broadcasts
// from the call of broadcast() to the moment the last client holds the whole frame. Clients are
// plain sockets read by one epoll thread, so they add little memory of their own; the peak
// resident size (VmHWM) is reported beside the size before the streams were opened.
// Usage: bench_event_fanout [streams=1000] [broadcasts=100]
#include "AgentContext.h"
#include "AgentCore.h"
#include "LocalServer.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

long statusKilobytes(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').front().toLong();
    return -1;
}

AgentContext sample(int round) {
    AgentContext context;
    context.activeApp = QStringLiteral("Mail");
    context.bundleId = QStringLiteral("org.mail");
    context.windowTitle = QStringLiteral("Inbox %1").arg(round, 4, 10, QLatin1Char('0'));
    context.at = QStringLiteral("2024-05-01T10:00:00.000Z");
    return context;
}

struct Streams {
    int epoll = ::epoll_create1(0);
    std::vector<int> fds;
    std::vector<qsizetype> received;

    // Reads until every stream holds at least `target` bytes.
    void waitAll(qsizetype target) {
        auto behind = qsizetype(std::count_if(received.begin(), received.end(),
                                              [&](qsizetype n) { return n < target; }));
        epoll_event events[256];
        char chunk[65536];
        while (behind > 0) {
            const int ready = ::epoll_wait(epoll, events, 256, 10'000);
            if (ready <= 0) {
                std::fprintf(stderr, "streams stalled\n");
                std::exit(1);
            }
            for (int i = 0; i < ready; ++i) {
                const int index = events[i].data.fd;
                for (;;) {
                    const ssize_t got = ::recv(fds[size_t(index)], chunk, sizeof chunk, MSG_DONTWAIT);
                    if (got <= 0)
                        break;
                    const bool was = received[size_t(index)] < target;
                    received[size_t(index)] += got;
                    if (was && received[size_t(index)] >= target)
                        --behind;
                }
            }
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int streamCount = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int broadcasts = argc > 2 ? std::atoi(argv[2]) : 100;
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);

    AgentCore core;
    core.lastContext = sample(0);
    LocalServer server(&core, 0);
    server.start();
    const long before = statusKilobytes("VmHWM:");

    std::thread driver([&] {
        Streams streams;
        const QByteArray opening = LocalServer::eventStreamHeader() + LocalServer::eventFrame(core.lastContext);
        for (int i = 0; i < streamCount; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(server.port());
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                std::perror("connect");
                std::exit(1);
            }
            ::send(fd, "GET /events HTTP/1.1\r\n\r\n", 24, MSG_NOSIGNAL);
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = i;
            ::epoll_ctl(streams.epoll, EPOLL_CTL_ADD, fd, &event);
            streams.fds.push_back(fd);
            streams.received.push_back(0);
        }
        qsizetype expected = opening.size();
        streams.waitAll(expected);

        std::vector<double> micros;
        for (int round = 1; round <= broadcasts; ++round) {
            const AgentContext context = sample(round);
            expected += LocalServer::eventFrame(context).size();
            const auto start = std::chrono::steady_clock::now();
            server.broadcast(context);
            streams.waitAll(expected);
            micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        }
        std::sort(micros.begin(), micros.end());
        const auto at = [&](double q) { return micros[size_t(q * double(micros.size() - 1) + 0.5)]; };
        std::printf("streams %d, broadcasts %d\n", streamCount, broadcasts);
        std::printf("broadcast to last client: median %.0f us, p99 %.0f us, max %.0f us\n", at(0.5),
                    at(0.99), micros.back());
        std::printf("peak resident: %ld kB before the streams, %ld kB during (VmHWM)\n", before,
                    statusKilobytes("VmHWM:"));
        for (const int fd : streams.fds)
            ::close(fd);
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    const int result = QCoreApplication::exec();
    driver.join();
    return result;
}
