#pragma once

#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>

struct inet_diag_sockid;

// Learns which user owns the other end of an accepted loopback TCP connection, from the kernel:
// first socket diagnostics over netlink (one exact lookup by both addresses and ports, answered
// within the call), else the uid column of /proc/net/tcp or tcp6. Only a peer that a process
// still holds counts (connected, or done sending): a closed one lingers as an entry that
// reports uid 0 whoever owned it. Plain C++, so the port service links it too. One thread only.
class PeerOwner {
public:
    // `socketDiagnostics` false leaves netlink out; `procNet` is the folder holding tcp and tcp6.
    explicit PeerOwner(bool socketDiagnostics = true, std::string procNet = "/proc/net");
    ~PeerOwner();

    PeerOwner(const PeerOwner&) = delete;
    PeerOwner& operator=(const PeerOwner&) = delete;

    // The uid owning the peer of `connection` (a connected TCP socket), or nothing, with
    // `problem` saying why no source could tell.
    std::optional<uid_t> ownerOf(int connection, std::string* problem);

    // The uid of a socket listening on `address` (an IPv4 or IPv6 address and port), or on the
    // wildcard address of its family at that port, as socket diagnostics tell; nothing otherwise.
    std::optional<uid_t> listenerOwner(const sockaddr_storage& address);

private:
    struct Ends;
    // Sends one socket-diagnostics request about TCP sockets; false when it cannot be sent.
    bool request(int family, int flags, unsigned states, const inet_diag_sockid& id);
    std::optional<uid_t> askKernel(const Ends& ends, std::string* problem);
    std::optional<uid_t> readProcNet(const Ends& ends, std::string* problem) const;

    int m_diag = -1;
    std::string m_diagProblem; // why there is no netlink socket
    unsigned m_sequence = 0;
    std::string m_procNet;
};
