#pragma once

#include <QString>
#include <optional>
#include <sys/types.h>

// Learns which user owns the other end of an accepted loopback TCP connection, from the kernel:
// first socket diagnostics over netlink (one exact lookup by both addresses and ports, answered
// within the call), else the uid column of /proc/net/tcp or tcp6. Used on one thread only.
class PeerOwner {
public:
    // `socketDiagnostics` false leaves netlink out; `procNet` is the folder holding tcp and tcp6.
    explicit PeerOwner(bool socketDiagnostics = true,
                       QString procNet = QStringLiteral("/proc/net"));
    ~PeerOwner();

    PeerOwner(const PeerOwner&) = delete;
    PeerOwner& operator=(const PeerOwner&) = delete;

    // The uid owning the peer of `connection` (a connected TCP socket), or nothing, with
    // `problem` saying why no source could tell.
    std::optional<uid_t> ownerOf(int connection, QString* problem);

private:
    struct Ends;
    std::optional<uid_t> askKernel(const Ends& ends, QString* problem);
    std::optional<uid_t> readProcNet(const Ends& ends, QString* problem) const;

    int m_diag = -1;
    QString m_diagProblem; // why there is no netlink socket
    unsigned m_sequence = 0;
    QString m_procNet;
};
