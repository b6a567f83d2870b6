#pragma once

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

struct AgentContext;
class AgentCore;
class QObject;
class QThread;
struct HttpRequest;

namespace localserver {
class Endpoint;
struct Gate;
} // namespace localserver

// The transport's limits. The defaults are the agent's; tests shorten the idle limit.
struct ServerLimits {
    qsizetype readChunkBytes = 65'536;     // at most this much per read
    qsizetype maxRequestBytes = 1'000'000; // a buffer past this is dropped, even if complete
    // A connection that has not sent a whole request by then is closed without an answer.
    std::chrono::milliseconds idleLimit = std::chrono::seconds(30);
    // An event stream whose unsent bytes pass this is closed: a client that never reads must
    // not grow the agent's memory without bound.
    qsizetype maxStreamBacklog = 1 << 20;
    // Open event streams past this are refused with a 503; open connections past this, or a
    // process out of descriptors, close the connection nearest its idle limit to make room.
    int maxEventStreams = 512;
    int maxConnections = 768;
    // Where the owner of a connection's peer is learned (PeerOwner.h); tests take sources away.
    bool socketDiagnostics = true;
    QString procNet = QStringLiteral("/proc/net");
    // The port service's registration socket: where it exists in a folder only root may change,
    // connections come from there instead of the agent's own listeners. Empty: never.
    QString portService = QStringLiteral("/run/vantor-companion/agents.sock");
};

// One accepted connection as the routes see it. A cheap copyable handle, usable from any thread:
// each operation hops to the server thread and does nothing once the connection or the server
// is gone, so a route may answer later from the main thread or the background pool.
class LocalConnection {
public:
    // Writes "HTTP/1.1 <status>", the fixed header block and `body` in one write, then closes.
    void send(const QString& status, const QByteArray& body) const;
    // Writes `openingBytes` (the stream header and first frame) and keeps the connection in the
    // event-stream registry, where every broadcast reaches it until it fails or closes.
    void openEventStream(const QByteArray& openingBytes) const;
    // Runs `work` on the server thread (dropped when the server is gone).
    void onServerThread(std::function<void()> work) const;
    // Runs `work` on the main thread with the core (dropped when the core is gone).
    void onMainThread(std::function<void(AgentCore&)> work) const;

private:
    friend class localserver::Endpoint;
    LocalConnection(std::shared_ptr<localserver::Gate> gate, quint64 id, QPointer<AgentCore> core)
        : m_gate(std::move(gate)), m_id(id), m_core(std::move(core)) {}

    std::shared_ptr<localserver::Gate> m_gate;
    quint64 m_id;
    QPointer<AgentCore> m_core;
};

// The loopback HTTP endpoint: takes connections handed over by the system's port service where
// it runs, else listens on 127.0.0.1 and [::1] itself (a busy address is bound again with
// back-off for as long as the server runs). It checks on accept, before reading a byte, that
// the kernel says the peer belongs to the agent's own user (anyone else, or a peer whose owner
// cannot be learned, gets "403 Forbidden" and is closed at once), reads one request per
// connection, routes it (LocalRoutes.h) and answers once, except for event streams, which stay
// open and receive every broadcast. Everything network-side runs on one thread,
// "vantor.local-server"; the core is touched only on the main thread. Create and destroy it on the
// main thread.
class LocalServer {
public:
    using Router = std::function<void(const HttpRequest&, const LocalConnection&)>;

    // `port` 0 lets the system pick one (see port()). `router` defaults to the agent's routes.
    LocalServer(AgentCore* core, quint16 port, ServerLimits limits = {}, Router router = {});
    // Closes the listener and every connection, then stops the thread.
    ~LocalServer();

    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    // Registers with the port service, or binds and listens. An address held by someone else
    // is bound again later (see problem()); throws SystemError (naming the call and the
    // system's text) on any other failure to listen on 127.0.0.1.
    void start();

    // The port actually bound, once started.
    quint16 port() const { return m_port; }

    // What keeps the API from being served right now, for the user ("Local API unavailable —
    // …"), or nothing. Any thread. `onProblemChange` runs on the thread that made the server
    // whenever it changes.
    std::optional<QString> problem() const;
    void setOnProblemChange(std::function<void()> onChange);

    // Sends the context as one event frame to every open stream. Any thread; returns at once.
    void broadcast(const AgentContext& context);

    // Open connections and registered event streams right now (any thread).
    int connectionCount() const;
    int eventStreamCount() const;

    // The fixed opening block of an event stream (133 bytes) and one event frame.
    static QByteArray eventStreamHeader();
    static QByteArray eventFrame(const AgentContext& context);

private:
    quint16 m_port;
    ServerLimits m_limits;
    std::unique_ptr<QObject> m_mainContext; // outlives the thread: a late notice is dropped
    std::unique_ptr<QThread> m_thread;
    localserver::Endpoint* m_endpoint;
    std::shared_ptr<localserver::Gate> m_gate;
};
