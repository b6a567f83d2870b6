#include "ServerLoop.h"

#include "AgentCore.h"
#include "AgentError.h"
#include "Handover.h"
#include "HttpRequest.h"
#include "Log.h"

#include <QThread>
#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

// The server thread runs its own epoll loop instead of a Qt event loop: its only work is socket
// I/O, the idle limit and closures handed over from other threads, and Qt's dispatcher spent
// more on registering, toggling and deleting per-connection notifiers and timers than the
// connections themselves cost. Connections are plain non-blocking sockets rather than
// QTcpSocket: QTcpSocket tears the whole socket down when the peer shuts its sending side, which
// would lose the answer to a client that sends a request and then half-closes, and it hides how
// many bytes a slow event-stream reader has left unsent.

namespace localserver {

namespace {
// epoll keys beside the connection ids, which start at 1: the wake-up, the registration socket,
// then one per listener (IPv4, IPv6).
constexpr std::uint64_t kWakeKey = 0;
constexpr std::uint64_t kRegistrationKey = ~std::uint64_t(0);
constexpr std::uint64_t kListenerKey = kRegistrationKey - 2;

constexpr auto kLongestRetry = std::chrono::seconds(60);

bool waiting(int listener) {
    pollfd backlog{listener, POLLIN, 0};
    return ::poll(&backlog, 1, 0) == 1;
}

int familyIndex(int family) {
    return family == AF_INET6 ? 1 : 0;
}

sockaddr_storage loopback(int family, quint16 port) {
    sockaddr_storage storage{};
    if (family == AF_INET6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        v6.sin6_addr = in6addr_loopback;
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    return storage;
}

const std::string kOwnerOnlyAnswer = handover::framedAnswer(
    "403 Forbidden", R"({"message":"This agent serves only the user who runs it","ok":false})");
} // namespace

int listenOnLoopback(int family, quint16 port) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    // IPv6 only: [::1] must be this socket's alone, never shared with an IPv4 listener.
    const sockaddr_storage address = loopback(family, port);
    const socklen_t size = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ||
        (family == AF_INET6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) < 0) ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) < 0 ||
        ::listen(fd, 1024) < 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// The port service's socket counts only in a folder that root owns and no one else may change:
// anyone else could have put a socket of their own there.
bool portServiceRuns(const QString& path) {
    const QByteArray socket = path.toLocal8Bit();
    const QByteArray folder = socket.left(std::max<qsizetype>(socket.lastIndexOf('/'), 1));
    struct stat folderStatus {};
    struct stat socketStatus {};
    return !path.isEmpty() && ::stat(folder.constData(), &folderStatus) == 0 &&
           S_ISDIR(folderStatus.st_mode) && folderStatus.st_uid == 0 &&
           (folderStatus.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
           ::lstat(socket.constData(), &socketStatus) == 0 && S_ISSOCK(socketStatus.st_mode);
}

quint16 boundPort(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) < 0)
        return 0;
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                     : reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

struct Connection {
    enum class Phase {
        Reading,   // collecting the request
        Routed,    // a route is working on the answer; nothing is read
        Answering, // the answer is being written
        Lingering, // answer written and our side shut: waiting for the peer to close
        Streaming, // an event stream; reads only notice the peer leaving
    };

    Connection(quint64 id, int fd) : id(id), fd(fd) {}
    ~Connection() { ::close(fd); }

    const quint64 id;
    const int fd;
    Phase phase = Phase::Reading;
    QByteArray request;
    // Once the blank line has arrived: the request its head describes and where its body starts.
    std::optional<HttpRequest> head;
    qsizetype bodyStart = 0;
    qint64 bodyLength = 0;
    bool malformed = false; // a head that parses to nothing: read on until a limit ends it
    QByteArray unsent;
    std::uint32_t watched = 0; // the epoll events registered now
    // The idle limit, when it runs: the time and the connection's place in the queue of limits.
    Clock::time_point deadline;
    std::optional<std::list<Connection*>::iterator> idleEntry;
};

Endpoint::Endpoint(QPointer<AgentCore> core, ServerLimits limits, LocalServer::Router router)
    : m_core(std::move(core)), m_limits(limits), m_router(std::move(router)),
      m_epoll(::epoll_create1(EPOLL_CLOEXEC)), m_wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      m_owners(m_limits.socketDiagnostics, m_limits.procNet.toStdString()) {
    if (m_epoll < 0 || m_wake < 0)
        throw SystemError(QStringLiteral("epoll_create1/eventfd: %1")
                              .arg(QString::fromLocal8Bit(std::strerror(errno))));
    epoll_event event{EPOLLIN, {.u64 = kWakeKey}};
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event);
}

Endpoint::~Endpoint() {
    m_connections.clear();
    for (const int listener : m_listeners)
        if (listener >= 0)
            ::close(listener);
    if (m_registration >= 0)
        ::close(m_registration);
    ::close(m_wake);
    ::close(m_epoll);
}

void Endpoint::loop() {
    std::array<epoll_event, 64> events;
    while (!m_stopping) {
        const int ready = ::epoll_wait(m_epoll, events.data(), int(events.size()), timeout());
        for (int i = 0; i < ready; ++i)
            handle(events[size_t(i)]);
        expireIdle();
        if (m_retryAt && *m_retryAt <= Clock::now())
            retry();
    }
}

void Endpoint::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wake, &one, sizeof one);
}

void Endpoint::stop() {
    m_stopping = true;
    wake();
}

void Endpoint::listenOn(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    const int index = familyIndex(address.ss_family);
    m_port = boundPort(fd);
    m_listeners[size_t(index)] = fd;
    m_unbound[size_t(index)] = false;
    epoll_event event{EPOLLIN, {.u64 = kListenerKey + std::uint64_t(index)}};
    if (!m_resting) // else watched once a connection closes, with the others
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
}

// Tried again once the loop has taken every hand-over queued with it, so both families share
// one try and one back-off.
void Endpoint::bindLater(int family, quint16 port) {
    m_port = port;
    m_unbound[size_t(familyIndex(family))] = true;
    m_retryAt = Clock::now();
}

void Endpoint::registerWith(const QString& path, quint16 port) {
    m_servicePath = path;
    m_port = port;
    connectRegistration();
}

// Binds what is not bound yet, or registers again. Each failure doubles the wait before the next
// try, up to a minute; the problem is shown and logged once per change of its text.
void Endpoint::retry() {
    m_retryAt.reset();
    if (!m_servicePath.isEmpty() && portServiceRuns(m_servicePath)) {
        connectRegistration();
        return;
    }
    if (!m_servicePath.isEmpty()) { // the service is gone for good: the port is ours to hold
        m_servicePath.clear();
        m_unbound = {true, true};
        m_retryDelay = std::chrono::seconds(1);
    }
    QString problem;
    for (const int family : {AF_INET, AF_INET6}) {
        if (!m_unbound[size_t(familyIndex(family))])
            continue;
        const int fd = listenOnLoopback(family, m_port);
        if (fd >= 0) {
            listenOn(fd);
            logEvent(
                QStringLiteral("Local API listening on %1:%2")
                    .arg(family == AF_INET6 ? QStringLiteral("[::1]") : QStringLiteral("127.0.0.1"))
                    .arg(m_port));
            continue;
        }
        if (errno != EADDRINUSE) { // no such address here (IPv6 switched off): nothing to wait for
            m_unbound[size_t(familyIndex(family))] = false;
            continue;
        }
        if (problem.isEmpty()) {
            problem = QStringLiteral("Local API unavailable — port %1 is in use by another program")
                          .arg(m_port);
            if (const auto holder = m_owners.listenerOwner(loopback(family, m_port)))
                problem += QStringLiteral(" (uid %1)").arg(*holder);
        }
    }
    if (problem.isEmpty()) {
        m_retryDelay = std::chrono::seconds(1);
        setProblem({});
    } else {
        scheduleRetry(problem);
    }
}

void Endpoint::scheduleRetry(const QString& problem) {
    setProblem(problem);
    m_retryAt = Clock::now() + m_retryDelay;
    m_retryDelay = std::min<std::chrono::seconds>(m_retryDelay * 2, kLongestRetry);
}

// Registers with the port service. Only a socket that root made (the system's socket unit)
// is taken for it: an agent must not hand its user's connections' owner to anyone else.
void Endpoint::connectRegistration() {
    const QByteArray path = m_servicePath.toLocal8Bit();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path) {
        scheduleRetry(
            QStringLiteral("Local API unavailable — the port service's path is too long"));
        return;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ucred peer{};
    socklen_t size = sizeof peer;
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != 0) {
        if (fd >= 0)
            ::close(fd);
        scheduleRetry(QStringLiteral("Local API unavailable — the port service does not answer"));
        return;
    }
    m_registration = fd;
    epoll_event event{EPOLLIN, {.u64 = kRegistrationKey}};
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
}

void Endpoint::closeRegistration(const QString& problem) {
    ::close(m_registration); // also leaves the epoll set
    m_registration = -1;
    scheduleRetry(problem);
}

// Takes every message waiting, one per call so that a descriptor stays with its byte. At the
// connection cap room is made as for accepted connections; without any, the hand-over rests.
void Endpoint::receiveHandedOver() {
    while (m_registration >= 0) {
        if (int(m_connections.size()) >= m_limits.maxConnections && !makeRoom())
            return;
        char message = 0;
        int fd = -1;
        const ssize_t got = handover::receive(m_registration, &message, &fd);
        if (got < 0 && errno == EAGAIN)
            return;
        if (got <= 0) {
            closeRegistration(
                QStringLiteral("Local API unavailable — the port service has stopped"));
        } else if (message == handover::Connection && fd >= 0) {
            adopt(fd);
        } else if (message == handover::Registered) {
            m_retryDelay = std::chrono::seconds(1);
            setProblem({});
            logEvent(QStringLiteral(
                "Local API served through the system port (127.0.0.1:17345, [::1]:17345)"));
        } else if (message == handover::Taken) {
            closeRegistration(QStringLiteral(
                "Local API unavailable — another agent of this user holds the port"));
        } else if (fd >= 0) {
            ::close(fd);
        }
    }
}

// Read by the main thread through the gate; each change is logged once.
void Endpoint::setProblem(const QString& problem) {
    if (problem == m_problem)
        return;
    m_problem = problem;
    if (!problem.isEmpty())
        logEvent(problem);
    std::lock_guard lock(gate->mutex);
    gate->problem = problem;
    if (gate->mainContext)
        QMetaObject::invokeMethod(
            gate->mainContext,
            [gate = gate] {
                if (gate->onProblemChange)
                    gate->onProblemChange();
            },
            Qt::QueuedConnection);
}

void Endpoint::send(quint64 id, const QString& status, const QByteArray& body) {
    Connection* connection = find(id);
    if (!connection || connection->phase != Connection::Phase::Routed)
        return;
    const QByteArray bytes = QByteArray::fromStdString(
        handover::framedAnswer(status.toStdString(), std::string_view(body.data(), body.size())));
    connection->phase = Connection::Phase::Answering;
    if (!write(connection, bytes)) {
        drop(connection); // a failed answer ends the connection as a sent one would
    } else if (connection->unsent.isEmpty()) {
        finish(connection);
    } else {
        // A peer that does not take its answer must not hold the connection for ever.
        startIdleLimit(connection);
        watch(connection);
    }
}

void Endpoint::openEventStream(quint64 id, const QByteArray& openingBytes) {
    Connection* connection = find(id);
    if (!connection || connection->phase != Connection::Phase::Routed)
        return;
    if (int(m_streams.size()) >= m_limits.maxEventStreams) {
        send(id, QStringLiteral("503 Service Unavailable"),
             R"({"message":"Too many event streams","ok":false})");
        return;
    }
    connection->phase = Connection::Phase::Streaming;
    m_streams.insert_or_assign(id, connection);
    gate->streams = int(m_streams.size());
    // Reading resumes only to learn that the peer has gone; what it sends is discarded.
    if (!write(connection, openingBytes))
        drop(connection);
    else
        watch(connection);
}

void Endpoint::broadcast(const QByteArray& frame) {
    std::vector<Connection*> streams;
    for (const auto& entry : m_streams)
        streams.push_back(entry.second);
    for (Connection* connection : streams) {
        if (!write(connection, frame) || connection->unsent.size() > m_limits.maxStreamBacklog)
            drop(connection);
        else
            watch(connection);
    }
}

Connection* Endpoint::find(quint64 id) const {
    const auto found = m_connections.find(id);
    return found == m_connections.end() ? nullptr : found->second.get();
}

void Endpoint::handle(const epoll_event& event) {
    if (event.data.u64 == kWakeKey) {
        runPending();
    } else if (event.data.u64 == kRegistrationKey) {
        receiveHandedOver();
    } else if (event.data.u64 >= kListenerKey) {
        acceptAll(m_listeners[size_t(event.data.u64 - kListenerKey)]);
    } else if (Connection* connection = find(event.data.u64)) {
        // A connection waiting for its route is not watched; a late event of the same batch
        // must not read it, or a peer's finished sending would cost it the answer.
        if (connection->phase == Connection::Phase::Routed)
            return;
        if (event.events & EPOLLOUT)
            writable(connection);
        else
            readable(connection);
    }
}

void Endpoint::runPending() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(m_wake, &count, sizeof count);
    std::vector<Work> work;
    {
        std::lock_guard lock(gate->mutex);
        work.swap(gate->pending);
    }
    for (Work& item : work)
        item(*this);
}

// Takes every connection waiting in the backlog, already non-blocking and close-on-exec. At
// the connection cap or out of descriptors, the connection nearest its idle limit (one still
// sending its request, or lingering) makes room, so a flood of silent clients cannot starve
// the others; with none to close, the sources rest until a connection closes, instead of
// waking the loop for ever while a backlog stays readable.
void Endpoint::acceptAll(int listener) {
    for (;;) {
        if (int(m_connections.size()) >= m_limits.maxConnections && !makeRoom())
            return;
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const bool outOfDescriptors =
                errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
            // accept4 takes a descriptor before it looks at the backlog, so it fails for want
            // of one even when nobody waits: room is made only for a connection that does.
            if (errno == ECONNABORTED || errno == EINTR ||
                (outOfDescriptors && waiting(listener) && makeRoom()))
                continue;
            return;
        }
        adopt(fd);
    }
}

// The owner is checked before a byte is read, whichever way the connection came: another
// account's connection is answered and closed at once and never holds a slot, so only the
// owner's own connections are ever there to make room among.
void Endpoint::adopt(int fd) {
    if (!servesPeer(fd)) {
        handover::closeWithAnswer(fd, kOwnerOnlyAnswer);
        return;
    }
    auto connection = std::make_unique<Connection>(++m_lastId, fd);
    watch(connection.get());
    startIdleLimit(connection.get());
    m_connections.emplace(connection->id, std::move(connection));
    gate->connections = int(m_connections.size());
}

// Closes the connection nearest its idle limit; without one, stops watching the listeners and
// the hand-over until a connection closes. True when there is room now.
bool Endpoint::makeRoom() {
    if (!m_idle.empty()) {
        drop(m_idle.front());
        return true;
    }
    rest(true);
    return false;
}

void Endpoint::rest(bool resting) {
    if (resting == m_resting)
        return;
    m_resting = resting;
    for (size_t index = 0; index < m_listeners.size(); ++index) {
        if (m_listeners[index] < 0)
            continue;
        epoll_event event{EPOLLIN, {.u64 = kListenerKey + index}};
        ::epoll_ctl(m_epoll, resting ? EPOLL_CTL_DEL : EPOLL_CTL_ADD, m_listeners[index], &event);
    }
    if (m_registration >= 0) {
        epoll_event event{resting ? 0U : std::uint32_t(EPOLLIN), {.u64 = kRegistrationKey}};
        ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, m_registration, &event);
    }
}

// Registers the events the connection's phase waits for, calling into the kernel only on a
// change. An answer being written waits for writability alone: a peer that has finished
// sending must not end the connection before its answer is out.
void Endpoint::watch(Connection* connection) {
    using Phase = Connection::Phase;
    const Phase phase = connection->phase;
    const bool reading =
        phase == Phase::Reading || phase == Phase::Lingering || phase == Phase::Streaming;
    const bool writing = !connection->unsent.isEmpty();
    const std::uint32_t events =
        (reading ? std::uint32_t(EPOLLIN) : 0) | (writing ? std::uint32_t(EPOLLOUT) : 0);
    if (connection->watched == events)
        return;
    epoll_event event{events, {.u64 = connection->id}};
    const int operation = connection->watched == 0 && events != 0 ? EPOLL_CTL_ADD
                          : events == 0                           ? EPOLL_CTL_DEL
                                                                  : EPOLL_CTL_MOD;
    ::epoll_ctl(m_epoll, operation, connection->fd, &event);
    connection->watched = events;
}

// Every connection gets the same limit, so appending keeps the queue in deadline order.
void Endpoint::startIdleLimit(Connection* connection) {
    stopIdleLimit(connection);
    connection->deadline = Clock::now() + m_limits.idleLimit;
    connection->idleEntry = m_idle.insert(m_idle.end(), connection);
}

void Endpoint::stopIdleLimit(Connection* connection) {
    if (connection->idleEntry)
        m_idle.erase(*std::exchange(connection->idleEntry, std::nullopt));
}

void Endpoint::expireIdle() {
    const Clock::time_point now = Clock::now();
    while (!m_idle.empty() && m_idle.front()->deadline <= now)
        drop(m_idle.front());
}

// Milliseconds until the earliest idle limit or retry, rounded up; -1 when none waits.
int Endpoint::timeout() const {
    std::optional<Clock::time_point> next = m_retryAt;
    if (!m_idle.empty() && (!next || m_idle.front()->deadline < *next))
        next = m_idle.front()->deadline;
    if (!next)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
    return int(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
}

// Every account on the computer can reach the loopback port, and the routes show what the user
// is doing and act in their session: only the agent's own user is served, and a peer whose
// owner cannot be learned is refused too. Each refusal is logged once a minute per uid.
bool Endpoint::servesPeer(int fd) {
    std::string problem;
    const std::optional<uid_t> owner = m_owners.ownerOf(fd, &problem);
    if (owner == ::geteuid())
        return true;
    const qint64 key = owner ? qint64(*owner) : -1;
    const Clock::time_point now = Clock::now();
    const auto logged = m_refusalsLogged.find(key);
    if (logged != m_refusalsLogged.end() && now - logged->second < std::chrono::minutes(1))
        return false;
    m_refusalsLogged.insert_or_assign(key, now);
    if (owner)
        logEvent(QStringLiteral("Refused a request from another user — uid %1").arg(*owner));
    else
        logEvent(QStringLiteral("Refused a request whose sender is unknown"),
                 QString::fromStdString(problem));
    return false;
}

// One read step per notification: the socket stays readable while bytes are waiting. The head
// is parsed once, when its blank line arrives; later reads only count body bytes, so a sender
// trickling a long request costs a copy of what it sends and no more.
void Endpoint::readable(Connection* connection) {
    if (connection->phase != Connection::Phase::Reading) {
        discardInput(connection);
        return;
    }
    // Reading into the thread's scratch space keeps a slow sender's buffer at what it has
    // sent, and spares an allocation of a whole chunk per connection.
    const ssize_t got = ::read(connection->fd, m_scratch.data(), m_scratch.size());
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    QByteArray& buffer = connection->request;
    const qsizetype before = buffer.size();
    buffer.append(m_scratch.data(), std::max<ssize_t>(got, 0));
    // The limit comes before parsing: past it even a complete request is refused.
    if (got < 0 || buffer.size() > m_limits.maxRequestBytes) {
        drop(connection);
        return;
    }
    if (!connection->head && !connection->malformed) {
        // The blank line may straddle the previous read.
        const qsizetype separator = buffer.indexOf("\r\n\r\n", std::max<qsizetype>(before - 3, 0));
        if (separator >= 0) {
            connection->head = HttpRequest::parseHead(QByteArrayView(buffer).first(separator),
                                                      &connection->bodyLength);
            connection->malformed = !connection->head;
            connection->bodyStart = separator + 4;
        }
    }
    if (!connection->head || connection->bodyLength > buffer.size() - connection->bodyStart) {
        if (got == 0) // the peer finished sending before a whole request arrived
            drop(connection);
        return;
    }
    // Anything after the request (a pipelined second one) goes with the buffer.
    HttpRequest request = *std::exchange(connection->head, std::nullopt);
    if (connection->bodyLength > 0)
        request.body = buffer.sliced(connection->bodyStart, connection->bodyLength);
    routeRequest(connection, request);
}

void Endpoint::routeRequest(Connection* connection, const HttpRequest& request) {
    const quint64 id = connection->id;
    connection->phase = Connection::Phase::Routed;
    connection->request = QByteArray();
    stopIdleLimit(connection);
    m_router(request, LocalConnection(gate, id, m_core));
    // Most routes answer at once; the others leave the connection unwatched until they do.
    connection = find(id);
    if (connection && connection->phase == Connection::Phase::Routed)
        watch(connection);
}

void Endpoint::discardInput(Connection* connection) {
    char sink[4096];
    const ssize_t got = ::read(connection->fd, sink, sizeof sink);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
        drop(connection);
}

void Endpoint::writable(Connection* connection) {
    const qsizetype before = connection->unsent.size();
    if (!write(connection, QByteArray())) {
        drop(connection);
        return;
    }
    if (connection->phase != Connection::Phase::Answering)
        watch(connection);
    else if (connection->unsent.isEmpty())
        finish(connection);
    else if (connection->unsent.size() < before) // the peer reads: its time starts again
        startIdleLimit(connection);
}

// Sends what it can now and keeps the rest for when the socket is writable again. False when
// the connection has failed.
bool Endpoint::write(Connection* connection, const QByteArray& bytes) {
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
    return true;
}

// The answer is out. Closing over unread input would reset the connection, and a reset
// discards whatever the peer has not yet received, so the socket closes at once only when
// the peer holds every byte and nothing waits here unread; a peer that sends more later
// still reads the answer before it learns of the reset. Otherwise our side is shut and the
// socket closed once the peer has read the answer and closed too.
void Endpoint::finish(Connection* connection) {
    char probe;
    const ssize_t waiting = ::recv(connection->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    int undelivered = 0;
    if ((waiting == 0 || (waiting < 0 && errno == EAGAIN)) &&
        ::ioctl(connection->fd, SIOCOUTQ, &undelivered) == 0 && undelivered == 0) {
        drop(connection);
        return;
    }
    ::shutdown(connection->fd, SHUT_WR);
    connection->phase = Connection::Phase::Lingering;
    watch(connection);
    startIdleLimit(connection);
}

void Endpoint::drop(Connection* connection) {
    const quint64 id = connection->id;
    stopIdleLimit(connection);
    m_streams.erase(id);
    m_connections.erase(id); // closes the socket, which also leaves the epoll set
    gate->streams = int(m_streams.size());
    gate->connections = int(m_connections.size());
    rest(false);
}

void Gate::run(Work work) {
    std::unique_lock lock(mutex);
    Endpoint* target = endpoint;
    if (!target)
        return;
    if (QThread::currentThread() == target->thread) {
        // Already on the server thread, which the endpoint outlives: it cannot go away now.
        lock.unlock();
        work(*target);
        return;
    }
    pending.push_back(std::move(work));
    if (pending.size() == 1) // a loop already woken drains everything queued meanwhile
        target->wake();
}

} // namespace localserver
