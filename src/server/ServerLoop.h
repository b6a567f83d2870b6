#pragma once

#include "LocalServer.h"
#include "PeerOwner.h"

#include <QPointer>
#include <array>
#include <atomic>
#include <chrono>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

struct epoll_event;

// The loopback server's network side: one thread's epoll loop, where connections come from (its
// own listeners, or the port service's hand-over), the state machine every connection walks
// through (reading, routed, answering, lingering, or streaming) and the registry of open event
// streams. LocalServer owns it and reaches it only through the Gate.
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
    // What keeps the API from being served (empty when nothing does), under the lock; the
    // context object lives on the main thread, where `onProblemChange` runs.
    QString problem;
    QObject* mainContext = nullptr;
    std::function<void()> onProblemChange;

    void run(Work work);
};

// A non-blocking listening socket on the family's loopback address (127.0.0.1, or ::1 with IPv6
// only) at `port`, 0 for any; -1 with errno set on failure.
int listenOnLoopback(int family, quint16 port);

// Whether the port service's registration socket is at `path`, in a folder only root may change.
bool portServiceRuns(const QString& path);

// The port actually bound by a socket from listenOnLoopback.
quint16 boundPort(int fd);

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
    // Where connections come from (on the server thread): a bound, listening socket, taken
    // over; or a family (AF_INET, AF_INET6) whose address at `port` was busy, to bind again with
    // back-off; or the port service's registration socket at `path`, through which it hands
    // connections (should the service go for good, `port` is bound instead).
    void listenOn(int fd);
    void bindLater(int family, quint16 port);
    void registerWith(const QString& path, quint16 port);

    // What the routes ask for, on the server thread; each does nothing unless the connection
    // still waits for its route.
    void send(quint64 id, const QString& status, const QByteArray& body);
    void openEventStream(quint64 id, const QByteArray& openingBytes);
    void broadcast(const QByteArray& frame);

private:
    Connection* find(quint64 id) const;
    void handle(const epoll_event& event);
    void runPending();
    void acceptAll(int listener);
    void receiveHandedOver();
    void adopt(int fd);
    bool makeRoom();
    void rest(bool resting);
    void retry();
    void scheduleRetry(const QString& problem);
    void connectRegistration();
    void closeRegistration(const QString& problem);
    void setProblem(const QString& problem);
    void watch(Connection* connection);
    void startIdleLimit(Connection* connection);
    void stopIdleLimit(Connection* connection);
    void expireIdle();
    int timeout() const;
    bool servesPeer(int fd);
    void readable(Connection* connection);
    void routeRequest(Connection* connection, const HttpRequest& request);
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
    quint16 m_port = 0;
    std::array<int, 2> m_listeners{-1, -1}; // IPv4, IPv6
    std::array<bool, 2> m_unbound{false, false};
    QString m_servicePath; // the port service's registration socket, when used
    int m_registration = -1;
    bool m_resting = false; // sources not watched until a connection closes
    std::optional<Clock::time_point> m_retryAt;
    std::chrono::seconds m_retryDelay{1};
    std::atomic<bool> m_stopping{false};
    quint64 m_lastId = 0;
    std::unordered_map<quint64, std::unique_ptr<Connection>> m_connections;
    std::map<quint64, Connection*> m_streams; // the event-stream registry, in accepting order
    std::list<Connection*> m_idle;            // connections whose idle limit runs, earliest first
    PeerOwner m_owners;
    QString m_problem;
    std::map<qint64, Clock::time_point> m_refusalsLogged; // by uid; -1: owner unknown
    std::vector<char> m_scratch = std::vector<char>(size_t(m_limits.readChunkBytes));
};

} // namespace localserver
