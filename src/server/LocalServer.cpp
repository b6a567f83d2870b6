#include "LocalServer.h"

#include "AgentContext.h"
#include "AgentCore.h"
#include "AgentError.h"
#include "LocalRoutes.h"
#include "ServerLoop.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using localserver::Endpoint;

void LocalConnection::send(const QString& status, const QByteArray& body) const {
    m_gate->run([id = m_id, status, body](Endpoint& endpoint) { endpoint.send(id, status, body); });
}

void LocalConnection::openEventStream(const QByteArray& openingBytes) const {
    m_gate->run([id = m_id, openingBytes](Endpoint& endpoint) {
        endpoint.openEventStream(id, openingBytes);
    });
}

void LocalConnection::onServerThread(std::function<void()> work) const {
    m_gate->run([work = std::move(work)](Endpoint&) { work(); });
}

void LocalConnection::onMainThread(std::function<void(AgentCore&)> work) const {
    QPointer<AgentCore> core = m_core;
    if (!core)
        return;
    QMetaObject::invokeMethod(
        core.data(),
        [core, work = std::move(work)] {
            if (core)
                work(*core);
        },
        Qt::QueuedConnection);
}

LocalServer::LocalServer(AgentCore* core, quint16 port, ServerLimits limits, Router router)
    : m_port(port), m_endpoint(new Endpoint(QPointer<AgentCore>(core), limits,
                                            router ? std::move(router) : Router(route))),
      m_gate(std::make_shared<localserver::Gate>()) {
    m_endpoint->gate = m_gate;
    m_gate->endpoint = m_endpoint;
    m_thread.reset(QThread::create([endpoint = m_endpoint] { endpoint->loop(); }));
    m_thread->setObjectName(QStringLiteral("vantor.local-server"));
    m_endpoint->thread = m_thread.get();
    m_thread->start();
}

LocalServer::~LocalServer() {
    {
        std::lock_guard lock(m_gate->mutex);
        m_gate->endpoint = nullptr;
        m_gate->pending.clear();
    }
    m_endpoint->stop();
    m_thread->wait();
    delete m_endpoint;
}

void LocalServer::start() {
    const auto fail = [this](const char* call) {
        throw SystemError(QStringLiteral("listen on 127.0.0.1:%1: %2: %3")
                              .arg(m_port)
                              .arg(QLatin1String(call))
                              .arg(QString::fromLocal8Bit(std::strerror(errno))));
    };
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail("socket");
    const int reuse = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const auto closeAndFail = [&](const char* call) {
        const int error = errno;
        ::close(fd);
        errno = error;
        fail(call);
    };
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) < 0)
        closeAndFail("setsockopt");
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0)
        closeAndFail("bind");
    if (::listen(fd, 1024) < 0)
        closeAndFail("listen");
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0)
        closeAndFail("getsockname");
    m_port = ntohs(address.sin_port);
    m_gate->run([fd](Endpoint& endpoint) { endpoint.listenOn(fd); });
}

void LocalServer::broadcast(const AgentContext& context) {
    m_gate->run([frame = eventFrame(context)](Endpoint& endpoint) { endpoint.broadcast(frame); });
}

int LocalServer::connectionCount() const {
    return m_gate->connections;
}

int LocalServer::eventStreamCount() const {
    return m_gate->streams;
}

QByteArray LocalServer::eventStreamHeader() {
    return QByteArrayLiteral("HTTP/1.1 200 OK\r\ncontent-type: text/event-stream\r\n"
                             "cache-control: no-cache\r\nconnection: keep-alive\r\n"
                             "access-control-allow-origin: *\r\n\r\n");
}

QByteArray LocalServer::eventFrame(const AgentContext& context) {
    // A QJsonObject always encodes, so the "{}" stand-in for a failed encoding never arises here.
    return "data: " + QJsonDocument(context.jsonObject()).toJson(QJsonDocument::Compact) + "\n\n";
}
