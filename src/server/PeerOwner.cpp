#include "PeerOwner.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string systemText(const char* call, int error = errno) {
    return std::string(call) + ": " + std::strerror(error);
}

// An address's bytes and its port in network order.
struct SocketEnd {
    const std::uint8_t* address;
    size_t size;
    std::uint16_t port;
};

SocketEnd endpointOf(const sockaddr_storage& storage) {
    if (storage.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(storage);
        return {v6.sin6_addr.s6_addr, sizeof v6.sin6_addr, v6.sin6_port};
    }
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(storage);
    return {reinterpret_cast<const std::uint8_t*>(&v4.sin_addr), sizeof v4.sin_addr, v4.sin_port};
}

// An address and port as /proc/net/tcp writes them: each 32-bit word of the address in the
// machine's byte order, in hexadecimal, then the port.
std::string procText(const SocketEnd& end) {
    std::string text;
    char word[9];
    for (size_t offset = 0; offset < end.size; offset += 4) {
        std::uint32_t value = 0;
        std::memcpy(&value, end.address + offset, 4);
        std::snprintf(word, sizeof word, "%08X", value);
        text += word;
    }
    std::snprintf(word, sizeof word, ":%04X", unsigned(ntohs(end.port)));
    return text + word;
}

constexpr const char* kNotEstablished = "the peer is no longer connected";

// Whether the peer is a socket some process still holds (it has an inode), connected or only
// done sending: once closed it lingers as an entry that no longer says whose it was.
bool heldOpen(unsigned state, unsigned long inode) {
    return inode != 0 &&
           (state == TCP_ESTABLISHED || state == TCP_FIN_WAIT1 || state == TCP_FIN_WAIT2);
}

// Kernel sockets and time-wait entries report uid 0 whoever made them: only a process running as
// root itself has a root peer worth telling apart, so anywhere else uid 0 says nothing.
std::optional<uid_t> trusted(uid_t owner, std::string* problem) {
    if (owner == 0 && ::geteuid() != 0) {
        *problem = "the peer reports uid 0";
        return std::nullopt;
    }
    return owner;
}

} // namespace

struct PeerOwner::Ends {
    sockaddr_storage ours{};
    sockaddr_storage peer{};
};

PeerOwner::PeerOwner(bool socketDiagnostics, std::string procNet) : m_procNet(std::move(procNet)) {
    if (!socketDiagnostics)
        m_diagProblem = "socket diagnostics not used";
    else if ((m_diag = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) < 0)
        m_diagProblem = systemText("socket(NETLINK_SOCK_DIAG)");
}

PeerOwner::~PeerOwner() {
    if (m_diag >= 0)
        ::close(m_diag);
}

std::optional<uid_t> PeerOwner::ownerOf(int connection, std::string* problem) {
    Ends ends;
    socklen_t oursSize = sizeof ends.ours;
    socklen_t peerSize = sizeof ends.peer;
    if (::getsockname(connection, reinterpret_cast<sockaddr*>(&ends.ours), &oursSize) != 0 ||
        ::getpeername(connection, reinterpret_cast<sockaddr*>(&ends.peer), &peerSize) != 0) {
        *problem = systemText("getsockname/getpeername");
        return std::nullopt;
    }
    std::string kernelProblem;
    if (const auto owner = askKernel(ends, &kernelProblem))
        return trusted(*owner, problem);
    // A peer the kernel has seen close is settled: the table holds the same time-wait entry.
    if (kernelProblem == kNotEstablished) {
        *problem = kernelProblem;
        return std::nullopt;
    }
    std::string procProblem;
    if (const auto owner = readProcNet(ends, &procProblem))
        return trusted(*owner, problem);
    *problem = kernelProblem + "; " + procProblem;
    return std::nullopt;
}

bool PeerOwner::request(int family, int flags, unsigned states, const inet_diag_sockid& id) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = std::uint16_t(flags);
    message.header.nlmsg_seq = ++m_sequence;
    message.request.sdiag_family = std::uint8_t(family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = states;
    message.request.id = id;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    return ::sendto(m_diag, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
                    sizeof kernel) >= 0;
}

std::optional<uid_t> PeerOwner::askKernel(const Ends& ends, std::string* problem) {
    if (m_diag < 0) {
        *problem = m_diagProblem;
        return std::nullopt;
    }
    // The peer's socket, seen from its side: its own end is the peer address, its far end ours.
    const SocketEnd peer = endpointOf(ends.peer);
    const SocketEnd ours = endpointOf(ends.ours);
    inet_diag_sockid id{};
    id.idiag_sport = peer.port;
    id.idiag_dport = ours.port;
    std::memcpy(id.idiag_src, peer.address, peer.size);
    std::memcpy(id.idiag_dst, ours.address, ours.size);
    id.idiag_cookie[0] = id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (!request(ends.ours.ss_family, NLM_F_REQUEST, ~0U, id)) {
        *problem = systemText("netlink sendto");
        return std::nullopt;
    }
    // The kernel answers an exact lookup while sending, so the answer is queued already. One
    // left over from an earlier lookup (it cannot be, but a stale owner would be wrong) is
    // skipped by its sequence number.
    alignas(nlmsghdr) std::array<char, 4096> answer;
    for (;;) {
        const ssize_t got = ::recv(m_diag, answer.data(), answer.size(), MSG_DONTWAIT);
        if (got < 0) {
            *problem = systemText("netlink recv");
            return std::nullopt;
        }
        const auto* header = reinterpret_cast<const nlmsghdr*>(answer.data());
        if (!NLMSG_OK(header, size_t(got)) || header->nlmsg_seq != m_sequence)
            continue;
        if (header->nlmsg_type == NLMSG_ERROR) {
            const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
            *problem = systemText("socket diagnostics", -error->error);
            return std::nullopt;
        }
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
            header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            *problem = "socket diagnostics: an answer of an unknown form";
            return std::nullopt;
        }
        const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
        if (!heldOpen(found->idiag_state, found->idiag_inode)) {
            *problem = kNotEstablished;
            return std::nullopt;
        }
        return found->idiag_uid;
    }
}

std::optional<uid_t> PeerOwner::listenerOwner(const sockaddr_storage& address) {
    if (m_diag < 0)
        return std::nullopt;
    if (!request(address.ss_family, NLM_F_REQUEST | NLM_F_DUMP, 1U << TCP_LISTEN, {}))
        return std::nullopt;
    const SocketEnd wanted = endpointOf(address);
    const std::array<std::uint8_t, 16> wildcard{};
    std::optional<uid_t> owner;
    // A dump is produced as it is read, so every part is there without waiting; the listening
    // sockets of one family are few.
    alignas(nlmsghdr) std::array<char, 16384> answer;
    for (;;) {
        const ssize_t got = ::recv(m_diag, answer.data(), answer.size(), MSG_DONTWAIT);
        if (got <= 0)
            return owner;
        size_t left = size_t(got);
        for (auto* header = reinterpret_cast<const nlmsghdr*>(answer.data());
             NLMSG_OK(header, left); header = NLMSG_NEXT(header, left)) {
            if (header->nlmsg_seq != m_sequence)
                continue;
            if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR)
                return owner;
            if (header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                continue;
            const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            const auto* source = reinterpret_cast<const std::uint8_t*>(found->id.idiag_src);
            if (found->id.idiag_sport == wanted.port &&
                (std::memcmp(source, wanted.address, wanted.size) == 0 ||
                 std::memcmp(source, wildcard.data(), wanted.size) == 0))
                owner = found->idiag_uid;
        }
    }
}

std::optional<uid_t> PeerOwner::readProcNet(const Ends& ends, std::string* problem) const {
    const std::string path = m_procNet + (ends.ours.ss_family == AF_INET6 ? "/tcp6" : "/tcp");
    const std::unique_ptr<FILE, int (*)(FILE*)> table(std::fopen(path.c_str(), "re"), std::fclose);
    if (!table) {
        *problem = systemText(path.c_str());
        return std::nullopt;
    }
    // "sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid …", one
    // line per socket; the peer's line has the peer address first.
    const std::string local = procText(endpointOf(ends.peer));
    const std::string remote = procText(endpointOf(ends.ours));
    char line[512];
    while (std::fgets(line, sizeof line, table.get())) {
        std::istringstream fields(line);
        std::string slot, from, to, queues, timer, retransmits, timeout;
        unsigned state = 0;
        uid_t uid = 0;
        unsigned long inode = 0;
        if (!(fields >> slot >> from >> to >> std::hex >> state >> std::dec >> queues >> timer >>
              retransmits >> uid >> timeout >> inode) ||
            from != local || to != remote)
            continue;
        if (!heldOpen(state, inode)) {
            *problem = path + ": " + kNotEstablished;
            return std::nullopt;
        }
        return uid;
    }
    *problem = path + ": no line for the connection";
    return std::nullopt;
}
