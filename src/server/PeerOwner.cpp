#include "PeerOwner.h"

#include <QFile>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QString systemText(const char* call, int error = errno) {
    return QLatin1String(call) + QStringLiteral(": ") +
           QString::fromLocal8Bit(std::strerror(error));
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
QByteArray procText(const SocketEnd& end) {
    QByteArray text;
    for (size_t offset = 0; offset < end.size; offset += 4) {
        std::uint32_t word = 0;
        std::memcpy(&word, end.address + offset, 4);
        text += QByteArray::number(word, 16).rightJustified(8, '0').toUpper();
    }
    return text + ':' + QByteArray::number(ntohs(end.port), 16).rightJustified(4, '0').toUpper();
}

} // namespace

struct PeerOwner::Ends {
    sockaddr_storage ours{};
    sockaddr_storage peer{};
};

PeerOwner::PeerOwner(bool socketDiagnostics, QString procNet) : m_procNet(std::move(procNet)) {
    if (!socketDiagnostics)
        m_diagProblem = QStringLiteral("socket diagnostics not used");
    else if ((m_diag = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) < 0)
        m_diagProblem = systemText("socket(NETLINK_SOCK_DIAG)");
}

PeerOwner::~PeerOwner() {
    if (m_diag >= 0)
        ::close(m_diag);
}

std::optional<uid_t> PeerOwner::ownerOf(int connection, QString* problem) {
    Ends ends;
    socklen_t oursSize = sizeof ends.ours;
    socklen_t peerSize = sizeof ends.peer;
    if (::getsockname(connection, reinterpret_cast<sockaddr*>(&ends.ours), &oursSize) != 0 ||
        ::getpeername(connection, reinterpret_cast<sockaddr*>(&ends.peer), &peerSize) != 0) {
        *problem = systemText("getsockname/getpeername");
        return std::nullopt;
    }
    QString kernelProblem;
    if (const auto owner = askKernel(ends, &kernelProblem))
        return owner;
    QString procProblem;
    if (const auto owner = readProcNet(ends, &procProblem))
        return owner;
    *problem = kernelProblem + QStringLiteral("; ") + procProblem;
    return std::nullopt;
}

std::optional<uid_t> PeerOwner::askKernel(const Ends& ends, QString* problem) {
    if (m_diag < 0) {
        *problem = m_diagProblem;
        return std::nullopt;
    }
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.header.nlmsg_seq = ++m_sequence;
    message.request.sdiag_family = std::uint8_t(ends.ours.ss_family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0U;
    // The peer's socket, seen from its side: its own end is the peer address, its far end ours.
    const SocketEnd peer = endpointOf(ends.peer);
    const SocketEnd ours = endpointOf(ends.ours);
    message.request.id.idiag_sport = peer.port;
    message.request.id.idiag_dport = ours.port;
    std::memcpy(message.request.id.idiag_src, peer.address, peer.size);
    std::memcpy(message.request.id.idiag_dst, ours.address, ours.size);
    message.request.id.idiag_cookie[0] = message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(m_diag, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0) {
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
            *problem = QStringLiteral("socket diagnostics: an answer of an unknown form");
            return std::nullopt;
        }
        return static_cast<const inet_diag_msg*>(NLMSG_DATA(header))->idiag_uid;
    }
}

std::optional<uid_t> PeerOwner::readProcNet(const Ends& ends, QString* problem) const {
    QFile table(m_procNet + (ends.ours.ss_family == AF_INET6 ? QStringLiteral("/tcp6")
                                                             : QStringLiteral("/tcp")));
    if (!table.open(QIODevice::ReadOnly)) {
        *problem = table.fileName() + QStringLiteral(": ") + table.errorString();
        return std::nullopt;
    }
    // "sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid …", one
    // line per socket; the peer's line has the peer address first.
    const QByteArray local = procText(endpointOf(ends.peer));
    const QByteArray remote = procText(endpointOf(ends.ours));
    // Files under /proc report no size, so the end is where a read gives nothing.
    for (QByteArray line; !(line = table.readLine()).isEmpty();) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        bool number = false;
        const uint uid = fields.value(7).toUInt(&number);
        if (number && fields.value(1) == local && fields.value(2) == remote)
            return uid_t(uid);
    }
    *problem = table.fileName() + QStringLiteral(": no line for the connection");
    return std::nullopt;
}
