// Event-stream fan-out: opens N streams to a server in this process, then times B broadcasts
// from the call of broadcast() to the moment the last client holds the whole frame. Clients are
// plain sockets read by one epoll thread, so they add little memory of their own; the peak
// resident size (VmHWM) is reported beside the size before the streams were opened. The server
// refuses streams past its cap, so the bench stays under it and, after measuring, fills the cap
// and reports what one more stream is answered. Every wait ends within kWaitLimitMs.
// Usage: bench_event_fanout [streams=500, at most the cap] [broadcasts=100]
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
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kWaitLimitMs = 10'000;

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

// A connected socket that has asked for the event stream; -1 when the server is unreachable.
int openStream(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("connect");
        ::close(fd);
        return -1;
    }
    ::send(fd, "GET /events HTTP/1.1\r\n\r\n", 24, MSG_NOSIGNAL);
    return fd;
}

// The first line the server answers on `fd`, read for kWaitLimitMs at most.
std::string statusLine(int fd) {
    std::string answer;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
    while (answer.find("\r\n") == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{fd, POLLIN, 0};
        char chunk[512];
        ssize_t got = 0;
        if (left.count() <= 0 || ::poll(&readable, 1, int(left.count())) <= 0 ||
            (got = ::recv(fd, chunk, sizeof chunk, 0)) <= 0)
            return answer.empty() ? "nothing (closed or silent)" : answer;
        answer.append(chunk, size_t(got));
    }
    return answer.substr(0, answer.find("\r\n"));
}

struct Streams {
    int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> fds;
    std::vector<qsizetype> received;

    void add(int fd) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = int(fds.size());
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
        fds.push_back(fd);
        received.push_back(0);
    }

    // Reads until every stream holds at least `target` bytes; false, saying why, when a stream
    // is closed before that or nothing arrives for kWaitLimitMs.
    bool waitAll(qsizetype target) {
        auto behind = qsizetype(std::count_if(received.begin(), received.end(),
                                              [&](qsizetype n) { return n < target; }));
        epoll_event events[256];
        char chunk[65536];
        while (behind > 0) {
            const int ready = ::epoll_wait(epoll, events, 256, kWaitLimitMs);
            if (ready <= 0) {
                std::fprintf(stderr, "%zd streams stalled for %d ms\n", ssize_t(behind),
                             kWaitLimitMs);
                return false;
            }
            for (int i = 0; i < ready; ++i) {
                const int index = events[i].data.fd;
                for (;;) {
                    const ssize_t got =
                        ::recv(fds[size_t(index)], chunk, sizeof chunk, MSG_DONTWAIT);
                    if (got == 0) {
                        std::fprintf(stderr, "stream %d closed by the server after %zd bytes\n",
                                     index + 1, ssize_t(received[size_t(index)]));
                        return false;
                    }
                    if (got < 0)
                        break;
                    const bool was = received[size_t(index)] < target;
                    received[size_t(index)] += got;
                    if (was && received[size_t(index)] >= target)
                        --behind;
                }
            }
        }
        return true;
    }
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int cap = ServerLimits{}.maxEventStreams;
    const int streamCount = std::clamp(argc > 1 ? std::atoi(argv[1]) : 500, 1, cap);
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

    int result = 1;
    std::thread driver([&] {
        Streams streams;
        const auto finish = [&](int code) {
            for (const int fd : streams.fds)
                ::close(fd);
            result = code;
            QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
        };
        const QByteArray opening =
            LocalServer::eventStreamHeader() + LocalServer::eventFrame(core.lastContext);
        for (int i = 0; i < streamCount; ++i) {
            const int fd = openStream(server.port());
            if (fd < 0)
                return finish(1);
            streams.add(fd);
        }
        qsizetype expected = opening.size();
        if (!streams.waitAll(expected))
            return finish(1);

        std::vector<double> micros;
        for (int round = 1; round <= broadcasts; ++round) {
            const AgentContext context = sample(round);
            expected += LocalServer::eventFrame(context).size();
            const auto start = std::chrono::steady_clock::now();
            server.broadcast(context);
            if (!streams.waitAll(expected))
                return finish(1);
            micros.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                    .count());
        }
        std::sort(micros.begin(), micros.end());
        const auto at = [&](double q) {
            return micros[size_t(q * double(micros.size() - 1) + 0.5)];
        };
        std::printf("streams %d, broadcasts %d\n", streamCount, broadcasts);
        std::printf("broadcast to last client: median %.0f us, p99 %.0f us, max %.0f us\n", at(0.5),
                    at(0.99), micros.back());
        std::printf("peak resident: %ld kB before the streams, %ld kB during (VmHWM)\n", before,
                    statusKilobytes("VmHWM:"));

        // The cap is a finding, not a failure: filled, one more stream is answered, not held.
        Streams fill;
        for (int i = streamCount; i < cap; ++i) {
            const int fd = openStream(server.port());
            if (fd < 0)
                return finish(1);
            fill.add(fd);
        }
        const bool filled = fill.waitAll(LocalServer::eventStreamHeader().size());
        for (const int fd : fill.fds)
            streams.fds.push_back(fd); // closed with the others
        if (!filled)
            return finish(1);
        const int extra = openStream(server.port());
        if (extra < 0)
            return finish(1);
        std::printf("stream %d, past the cap of %d: %s\n", cap + 1, cap, statusLine(extra).c_str());
        ::close(extra);
        finish(0);
    });
    QCoreApplication::exec();
    driver.join();
    return result;
}
