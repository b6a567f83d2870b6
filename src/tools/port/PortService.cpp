#include "PortService.h"

#include "Handover.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// epoll keys: a descriptor in the low half, its kind above.
enum Kind : std::uint64_t { Http = 1, Registration = 2, Agent = 3 };
constexpr std::size_t kMostAgents = 4096; // one per uid; more would be an attack on our memory
constexpr auto kLogEvery = std::chrono::minutes(1);

const std::string kNoAgent = handover::framedAnswer(
    "503 Service Unavailable", R"({"message":"No agent is running for this user","ok":false})");

std::uint64_t key(Kind kind, int fd) {
    return (std::uint64_t(kind) << 32) | std::uint32_t(fd);
}

void add(int epoll, Kind kind, int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    epoll_event event{EPOLLIN, {.u64 = key(kind, fd)}};
    if (::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) != 0)
        throw std::runtime_error(std::string("epoll_ctl: ") + std::strerror(errno));
}

int spareDescriptor() {
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

} // namespace

PortService::PortService(std::vector<int> http, int registration)
    : m_epoll(::epoll_create1(EPOLL_CLOEXEC)), m_http(std::move(http)),
      m_registration(registration), m_spare(spareDescriptor()) {
    if (m_epoll < 0)
        throw std::runtime_error(std::string("epoll_create1: ") + std::strerror(errno));
    for (const int fd : m_http)
        add(m_epoll, Http, fd);
    add(m_epoll, Registration, m_registration);
}

PortService::~PortService() {
    ::close(m_epoll);
}

void PortService::run() {
    std::array<epoll_event, 64> events;
    for (;;) {
        const int ready = ::epoll_wait(m_epoll, events.data(), int(events.size()), -1);
        for (int i = 0; i < ready; ++i) {
            const int fd = int(std::uint32_t(events[size_t(i)].data.u64));
            switch (events[size_t(i)].data.u64 >> 32) {
            case Http:
                acceptHttp(fd);
                break;
            case Registration:
                acceptAgent();
                break;
            default:
                agentEvent(fd);
            }
        }
    }
}

// Out of descriptors, the spare one is given up for the connection waiting, which is refused,
// so a full table neither spins the loop nor leaves the backlog growing.
int PortService::acceptOne(int listener) {
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0 || errno == EINTR || errno == ECONNABORTED) {
            if (fd >= 0)
                return fd;
            continue;
        }
        pollfd backlog{listener, POLLIN, 0};
        if ((errno != EMFILE && errno != ENFILE) || m_spare < 0 || ::poll(&backlog, 1, 0) != 1)
            return -1;
        ::close(m_spare);
        const int refused = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (refused >= 0)
            ::close(refused);
        m_spare = spareDescriptor();
    }
}

void PortService::acceptHttp(int listener) {
    for (int fd; (fd = acceptOne(listener)) >= 0;)
        handOver(fd);
}

// The peer's owner is learned once, from the kernel; only a peer some process still holds
// counts. The descriptor goes to that uid's agent, and this copy is closed either way.
void PortService::handOver(int connection) {
    std::string problem;
    const std::optional<uid_t> owner = m_owners.ownerOf(connection, &problem);
    const auto agent = owner ? m_agents.find(*owner) : m_agents.end();
    if (agent == m_agents.end()) {
        logRefusal(owner ? (long long)*owner : -1, owner ? std::string() : problem);
        handover::closeWithAnswer(connection, kNoAgent);
        return;
    }
    if (!handover::send(agent->second, handover::Connection, connection)) {
        // An agent that does not take its connections now (its queue, or the descriptors in
        // flight, at their limit) misses this one; a broken registration is forgotten, so the
        // user's next agent can take the slot.
        const bool broken = errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN;
        logRefusal(*owner, broken ? "its agent has gone" : "its agent is not taking connections");
        if (broken)
            forgetAgent(agent->second);
        handover::closeWithAnswer(connection, kNoAgent);
        return;
    }
    ::close(connection);
}

void PortService::acceptAgent() {
    for (int fd; (fd = acceptOne(m_registration)) >= 0;) {
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
            m_agents.size() >= kMostAgents) {
            ::close(fd);
            continue;
        }
        if (m_agents.count(peer.uid)) {
            handover::send(fd, handover::Taken);
            ::close(fd);
            std::fprintf(stderr, "vantor-port: uid %u already has an agent; another was told so\n",
                         unsigned(peer.uid));
            continue;
        }
        if (!handover::send(fd, handover::Registered)) {
            ::close(fd);
            continue;
        }
        epoll_event event{EPOLLIN, {.u64 = key(Agent, fd)}};
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
        m_agents.emplace(peer.uid, fd);
        m_agentUids.emplace(fd, peer.uid);
        std::fprintf(stderr, "vantor-port: agent registered for uid %u\n", unsigned(peer.uid));
    }
}

// An agent says nothing after registering: anything it sends is dropped unread, and its end
// (or an error) frees the uid's slot.
void PortService::agentEvent(int fd) {
    char sink[256];
    const ssize_t got = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
        forgetAgent(fd);
}

void PortService::forgetAgent(int fd) {
    const auto uid = m_agentUids.find(fd);
    if (uid == m_agentUids.end())
        return;
    std::fprintf(stderr, "vantor-port: agent for uid %u left\n", unsigned(uid->second));
    m_agents.erase(uid->second);
    m_agentUids.erase(uid);
    ::close(fd); // also leaves the epoll set
}

// Once a minute per uid at most; entries older than that are let go, so the table stays small.
void PortService::logRefusal(long long uid, const std::string& why) {
    const auto now = std::chrono::steady_clock::now();
    const auto logged = m_refusalsLogged.find(uid);
    if (logged != m_refusalsLogged.end() && now - logged->second < kLogEvery)
        return;
    if (m_refusalsLogged.size() > 1024)
        std::erase_if(m_refusalsLogged,
                      [&](const auto& entry) { return now - entry.second >= kLogEvery; });
    m_refusalsLogged.insert_or_assign(uid, now);
    if (uid < 0)
        std::fprintf(stderr, "vantor-port: refused a connection whose sender is unknown — %s\n",
                     why.c_str());
    else if (why.empty())
        std::fprintf(stderr,
                     "vantor-port: refused a connection — no agent is running for uid %lld\n", uid);
    else
        std::fprintf(stderr, "vantor-port: refused a connection of uid %lld — %s\n", uid,
                     why.c_str());
}
