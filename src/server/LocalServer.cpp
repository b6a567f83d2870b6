#include "LocalServer.h"

#include "AgentContext.h"
#include "AgentCore.h"
#include "AgentError.h"
#include "LocalRoutes.h"
#include "ServerLoop.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

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
    : m_port(port), m_limits(limits), m_mainContext(std::make_unique<QObject>()),
      m_endpoint(new Endpoint(QPointer<AgentCore>(core), limits,
                              router ? std::move(router) : Router(route))),
      m_gate(std::make_shared<localserver::Gate>()) {
    m_endpoint->gate = m_gate;
    m_gate->endpoint = m_endpoint;
    m_gate->mainContext = m_mainContext.get();
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
    if (localserver::portServiceRuns(m_limits.portService)) {
        m_gate->run([path = m_limits.portService, port = m_port](Endpoint& e) {
            e.registerWith(path, port);
        });
        return;
    }
    for (const int family : {AF_INET, AF_INET6}) {
        const int fd = localserver::listenOnLoopback(family, m_port);
        if (fd >= 0) {
            m_port = localserver::boundPort(fd);
            m_gate->run([fd](Endpoint& endpoint) { endpoint.listenOn(fd); });
        } else if (errno == EADDRINUSE && m_port != 0) {
            m_gate->run([family, port = m_port](Endpoint& e) { e.bindLater(family, port); });
        } else if (family == AF_INET) {
            throw SystemError(QStringLiteral("listen on 127.0.0.1:%1: %2")
                                  .arg(m_port)
                                  .arg(QString::fromLocal8Bit(std::strerror(errno))));
        }
    }
}

std::optional<QString> LocalServer::problem() const {
    std::lock_guard lock(m_gate->mutex);
    if (m_gate->problem.isEmpty())
        return std::nullopt;
    return m_gate->problem;
}

void LocalServer::setOnProblemChange(std::function<void()> onChange) {
    std::lock_guard lock(m_gate->mutex);
    m_gate->onProblemChange = std::move(onChange);
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
