#pragma once

#include "LocalServer.h"
#include "PeerOwner.h"

#include <QPointer>
#include <atomic>
#include <chrono>
#include <list>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

struct epoll_event;

// The loopback server's network side: one thread's epoll loop, the state machine every
// connection walks through (reading, routed, answering, lingering, or streaming) and the
// registry of open event streams. LocalServer owns it and reaches it only through the Gate.
namespace localserver {

class Endpoint;
struct Connection;

using Clock = std::chrono::steady_clock;
using Work = std::function<void(Endpoint&)>;

// The one way onto the server thread from elsewhere. The endpoint pointer is cleared under the
// lock before the loop stops, so a hop either reaches a live endpoint or is dropped.
struct Gate {
    std::mutex mutex;
    Endpoint* endpoint = nullptr;
    std::vector<Work> pending; // handed over under the lock, run by the loop
    std::atomic<int> connections{0};
    std::atomic<int> streams{0};

    void run(Work work);
};

class Endpoint {
public:
    Endpoint(QPointer<AgentCore> core, ServerLimits limits, LocalServer::Router router);
    // Runs on the thread that destroys the server, after the loop has ended.
    ~Endpoint();

    std::shared_ptr<Gate> gate;
    QThread* thread = nullptr;

    // The server thread's whole life.
    void loop();
    // Any thread, with the gate locked.
    void wake();
    void stop();
    // Takes over a bound and listening socket (on the server thread).
    void listenOn(int fd);

    // What the routes ask for, on the server thread; each does nothing unless the connection
    // still waits for its route.
    void send(quint64 id, const QString& status, const QByteArray& body);
    void openEventStream(quint64 id, const QByteArray& openingBytes);
    void broadcast(const QByteArray& frame);

private:
    Connection* find(quint64 id) const;
    void handle(const epoll_event& event);
    void runPending();
    void acceptAll();
    bool makeRoom();
    void watch(Connection* connection);
    void startIdleLimit(Connection* connection);
    void stopIdleLimit(Connection* connection);
    void expireIdle();
    int timeout() const;
    bool servesPeer(int fd);
    void readable(Connection* connection);
    void discardInput(Connection* connection);
    void writable(Connection* connection);
    bool write(Connection* connection, const QByteArray& bytes);
    void finish(Connection* connection);
    void drop(Connection* connection);

    QPointer<AgentCore> m_core;
    ServerLimits m_limits;
    LocalServer::Router m_router;
    const int m_epoll;
    const int m_wake;
    int m_listener = -1;
    bool m_listenerResting = false; // not watched until a connection closes
    std::atomic<bool> m_stopping{false};
    quint64 m_lastId = 0;
    std::unordered_map<quint64, std::unique_ptr<Connection>> m_connections;
    std::map<quint64, Connection*> m_streams; // the event-stream registry, in accepting order
    std::list<Connection*> m_idle;            // connections whose idle limit runs, earliest first
    PeerOwner m_owners;
    std::map<qint64, Clock::time_point> m_refusalsLogged; // by uid; -1: owner unknown
    std::vector<char> m_scratch = std::vector<char>(size_t(m_limits.readChunkBytes));
};

} // namespace localserver
