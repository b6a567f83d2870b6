#include "LocalServer.h"

#include "AgentContext.h"
#include "AgentCore.h"
#include "AgentError.h"
#include "HttpRequest.h"
#include "LocalRoutes.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

// Connections are plain non-blocking sockets watched by socket notifiers rather than
// QTcpSocket: QTcpSocket tears the whole socket down when the peer shuts its sending side, which
// would lose the answer to a client that sends a request and then half-closes, and it hides how
// many bytes a slow event-stream reader has left unsent. QTcpServer still owns the listener.

namespace localserver {

// The one way onto the server thread from elsewhere. The endpoint pointer is cleared under the
// lock before the endpoint is destroyed, so a hop either reaches a live endpoint or is dropped.
struct Gate {
    std::mutex mutex;
    Endpoint* endpoint = nullptr;
    std::atomic<int> connections{0};
    std::atomic<int> streams{0};

    void run(std::function<void(Endpoint&)> work);
};

class Listener : public QTcpServer {
public:
    using QTcpServer::QTcpServer;
    std::function<void(int)> accepted;

protected:
    void incomingConnection(qintptr descriptor) override { accepted(int(descriptor)); }
};

class Connection : public QObject {
public:
    enum class Phase {
        Reading,   // collecting the request
        Routed,    // a route is working on the answer; nothing is read
        Answering, // the answer is being written
        Lingering, // answer written and our side shut: waiting for the peer to close
        Streaming, // an event stream; reads only notice the peer leaving
    };

    Connection(quint64 id, int fd, QObject* parent)
        : QObject(parent), id(id), fd(fd), reader(fd, QSocketNotifier::Read, this),
          writer(fd, QSocketNotifier::Write, this) {
        writer.setEnabled(false);
        timer.setSingleShot(true);
    }

    const quint64 id;
    const int fd;
    Phase phase = Phase::Reading;
    QByteArray request;
    QByteArray unsent;
    QSocketNotifier reader;
    QSocketNotifier writer;
    QTimer timer{this};
};

class Endpoint : public QObject {
public:
    Endpoint(QPointer<AgentCore> core, ServerLimits limits, LocalServer::Router router)
        : m_core(std::move(core)), m_limits(limits), m_router(std::move(router)), m_listener(this) {
        m_listener.accepted = [this](int fd) { accept(fd); };
    }

    ~Endpoint() override {
        while (!m_connections.empty())
            drop(m_connections.begin()->second);
    }

    std::shared_ptr<Gate> gate;

    bool listen(quint16 port, QString* error) {
        m_listener.setListenBacklogSize(1024);
        if (m_listener.listen(QHostAddress(QHostAddress::LocalHost), port))
            return true;
        *error = m_listener.errorString();
        return false;
    }

    quint16 port() const { return m_listener.serverPort(); }

    void send(quint64 id, const QString& status, const QByteArray& body) {
        Connection* connection = find(id);
        if (!connection || connection->phase != Connection::Phase::Routed)
            return;
        QByteArray bytes = "HTTP/1.1 " + status.toUtf8() +
                           "\r\ncontent-type: application/json\r\n"
                           "access-control-allow-origin: *\r\n"
                           "access-control-allow-methods: GET,POST,OPTIONS\r\n"
                           "access-control-allow-headers: content-type\r\n"
                           "content-length: " +
                           QByteArray::number(body.size()) + "\r\nconnection: close\r\n\r\n";
        bytes += body;
        connection->phase = Connection::Phase::Answering;
        if (!write(connection, bytes))
            drop(connection); // a failed answer ends the connection as a sent one would
        else if (connection->unsent.isEmpty())
            linger(connection);
    }

    void openEventStream(quint64 id, const QByteArray& openingBytes) {
        Connection* connection = find(id);
        if (!connection || connection->phase != Connection::Phase::Routed)
            return;
        connection->phase = Connection::Phase::Streaming;
        m_streams.insert_or_assign(id, connection);
        gate->streams = int(m_streams.size());
        // Reading resumes only to learn that the peer has gone; what it sends is discarded.
        connection->reader.setEnabled(true);
        if (!write(connection, openingBytes))
            drop(connection);
    }

    void broadcast(const QByteArray& frame) {
        std::vector<Connection*> streams;
        for (const auto& entry : m_streams)
            streams.push_back(entry.second);
        for (Connection* connection : streams) {
            if (!write(connection, frame) || connection->unsent.size() > m_limits.maxStreamBacklog)
                drop(connection);
        }
    }

private:
    Connection* find(quint64 id) const {
        const auto found = m_connections.find(id);
        return found == m_connections.end() ? nullptr : found->second;
    }

    void accept(int fd) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 ||
            ::fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) {
            ::close(fd);
            return;
        }
        auto* connection = new Connection(++m_lastId, fd, this);
        m_connections.emplace(connection->id, connection);
        gate->connections = int(m_connections.size());
        connect(&connection->reader, &QSocketNotifier::activated, this,
                [this, connection] { readable(connection); });
        connect(&connection->writer, &QSocketNotifier::activated, this,
                [this, connection] { writable(connection); });
        connect(&connection->timer, &QTimer::timeout, this,
                [this, connection] { drop(connection); });
        connection->timer.start(m_limits.idleLimit);
    }

    // One read step per notification: the socket stays readable while bytes are waiting.
    void readable(Connection* connection) {
        if (connection->phase != Connection::Phase::Reading) {
            discardInput(connection);
            return;
        }
        QByteArray& buffer = connection->request;
        const qsizetype before = buffer.size();
        buffer.resize(before + m_limits.readChunkBytes);
        const ssize_t got =
            ::read(connection->fd, buffer.data() + before, size_t(m_limits.readChunkBytes));
        buffer.resize(before + std::max<ssize_t>(got, 0));
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        // The limit comes before parsing: past it even a complete request is refused.
        if (got < 0 || buffer.size() > m_limits.maxRequestBytes) {
            drop(connection);
            return;
        }
        std::optional<HttpRequest> request = HttpRequest::parse(buffer);
        if (!request) {
            if (got == 0) // the peer finished sending before a whole request arrived
                drop(connection);
            return;
        }
        // Anything after the request (a pipelined second one) goes with the buffer.
        connection->phase = Connection::Phase::Routed;
        connection->request = QByteArray();
        connection->reader.setEnabled(false);
        connection->timer.stop();
        m_router(*request, LocalConnection(gate, connection->id, m_core));
    }

    void discardInput(Connection* connection) {
        char sink[4096];
        const ssize_t got = ::read(connection->fd, sink, sizeof sink);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            drop(connection);
    }

    void writable(Connection* connection) {
        if (!write(connection, QByteArray())) {
            drop(connection);
            return;
        }
        if (connection->unsent.isEmpty() && connection->phase == Connection::Phase::Answering)
            linger(connection);
    }

    // Sends what it can now and keeps the rest for when the socket is writable again. False when
    // the connection has failed.
    bool write(Connection* connection, const QByteArray& bytes) {
        connection->unsent += bytes;
        while (!connection->unsent.isEmpty()) {
            const ssize_t sent = ::send(connection->fd, connection->unsent.constData(),
                                        size_t(connection->unsent.size()), MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent < 0 && errno == EAGAIN)
                break;
            if (sent < 0)
                return false;
            connection->unsent.remove(0, sent);
        }
        connection->writer.setEnabled(!connection->unsent.isEmpty());
        return true;
    }

    // The answer is out: shut our side and close once the peer has read it and closed too.
    // Closing at once could reset the connection over unread input and cost the peer the answer.
    void linger(Connection* connection) {
        ::shutdown(connection->fd, SHUT_WR);
        connection->phase = Connection::Phase::Lingering;
        connection->reader.setEnabled(true);
        connection->timer.start(m_limits.idleLimit);
    }

    void drop(Connection* connection) {
        connection->reader.setEnabled(false);
        connection->writer.setEnabled(false);
        connection->timer.stop();
        ::close(connection->fd);
        m_streams.erase(connection->id);
        m_connections.erase(connection->id);
        gate->streams = int(m_streams.size());
        gate->connections = int(m_connections.size());
        connection->deleteLater();
    }

    QPointer<AgentCore> m_core;
    ServerLimits m_limits;
    LocalServer::Router m_router;
    Listener m_listener;
    quint64 m_lastId = 0;
    std::map<quint64, Connection*> m_connections;
    std::map<quint64, Connection*> m_streams; // the event-stream registry, in opening order
};

void Gate::run(std::function<void(Endpoint&)> work) {
    std::unique_lock lock(mutex);
    Endpoint* target = endpoint;
    if (!target)
        return;
    if (QThread::currentThread() == target->thread()) {
        // Already on the server thread, where the endpoint is destroyed: it cannot go away now.
        lock.unlock();
        work(*target);
        return;
    }
    QMetaObject::invokeMethod(
        target, [target, work = std::move(work)] { work(*target); }, Qt::QueuedConnection);
}

} // namespace localserver

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
    : m_port(port), m_thread(std::make_unique<QThread>()),
      m_endpoint(new Endpoint(QPointer<AgentCore>(core), limits,
                              router ? std::move(router) : Router(route))),
      m_gate(std::make_shared<localserver::Gate>()) {
    m_endpoint->gate = m_gate;
    m_gate->endpoint = m_endpoint;
    m_thread->setObjectName(QStringLiteral("vantor.local-server"));
    m_endpoint->moveToThread(m_thread.get());
    m_thread->start();
}

LocalServer::~LocalServer() {
    {
        std::lock_guard lock(m_gate->mutex);
        m_gate->endpoint = nullptr;
    }
    QMetaObject::invokeMethod(
        m_endpoint, [endpoint = m_endpoint] { delete endpoint; }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
}

void LocalServer::start() {
    bool listening = false;
    QString error;
    QMetaObject::invokeMethod(
        m_endpoint,
        [&] {
            listening = m_endpoint->listen(m_port, &error);
            if (listening)
                m_port = m_endpoint->port();
        },
        Qt::BlockingQueuedConnection);
    if (!listening)
        throw SystemError(QStringLiteral("listen on 127.0.0.1:%1: %2").arg(m_port).arg(error));
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
