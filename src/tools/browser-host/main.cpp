// The native messaging host the browser extension talks to. The browser starts one per profile
// with the extension's port and stops it by closing stdin. It relays tab reports to the agent over
// a Unix socket and the agent's queries back to the extension; while the agent is away it keeps
// only the latest report, so its memory stays a few frames whatever the browser sends. An agent
// that refuses it (another program's listener, or one that no longer knows this host after an
// upgrade) is tried again later and later, and the browser is asked for nothing on its account.
#include "NativeFraming.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kFirstRetryMs = 500;
constexpr int kLastRetryMs = 30000;
constexpr char kQuery[] = R"({"type":"query"})";

std::string socketPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || runtime[0] != '/')
        return {};
    return std::string(runtime) + "/vantor-companion/browser.sock";
}

// The agent makes the folder private; one that is not ours or open to others is not the agent's.
bool folderIsPrivate(const std::string& path) {
    const std::string folder = path.substr(0, path.rfind('/'));
    struct stat info {};
    return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
           (info.st_mode & 077) == 0;
}

int connectAgent(const std::string& path) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path || !folderIsPrivate(path))
        return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

struct AgentLink {
    int fd = -1;
    bool accepted = false; // the agent has spoken: it took this host
    std::string in;        // bytes from the agent not yet framed
    std::string out;       // the frame being sent
    std::size_t sent = 0;
    int retryMs = kFirstRetryMs;

    // Gone, refused or not there: how long to wait before the next try, longer each time the
    // agent did not take us.
    int drop() {
        if (fd >= 0)
            close(fd);
        if (accepted)
            retryMs = kFirstRetryMs;
        const int wait = retryMs;
        retryMs = std::min(retryMs * 2, kLastRetryMs);
        fd = -1;
        accepted = false;
        in.clear();
        out.clear();
        sent = 0;
        return wait;
    }
};

} // namespace

int main() {
    std::signal(SIGPIPE, SIG_IGN);
    const std::string path = socketPath();
    std::string fromBrowser;
    std::optional<std::string> pending; // the latest report the agent has not been handed
    std::string lastReport;             // handed again after the agent reconnects
    AgentLink agent;
    char chunk[16384];
    int waitMs = 0; // before the next connection attempt

    for (;;) {
        if (agent.fd < 0 && waitMs <= 0) {
            agent.fd = connectAgent(path);
            // A restarted agent knows nothing: give it what we have. A fresh report is asked of
            // the browser once the agent has taken us (its first frame).
            if (agent.fd >= 0 && !pending && !lastReport.empty())
                pending = lastReport;
            if (agent.fd < 0)
                waitMs = agent.drop();
        }
        if (agent.fd >= 0 && agent.out.empty() && pending) {
            agent.out = framing::encode(*pending);
            agent.sent = 0;
            pending.reset();
        }

        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {agent.fd, POLLIN, 0}};
        if (!agent.out.empty())
            fds[1].events |= POLLOUT;
        const auto started = std::chrono::steady_clock::now();
        const int ready = poll(fds, agent.fd >= 0 ? 2 : 1, agent.fd >= 0 ? -1 : waitMs);
        if (ready < 0 && errno != EINTR)
            return 1;
        if (agent.fd < 0)
            waitMs -= static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - started)
                                           .count());
        if (ready <= 0)
            continue;

        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
                return 0; // the browser closed the port
            if (n > 0) {
                fromBrowser.append(chunk, static_cast<std::size_t>(n));
                const auto parsed = framing::parse(fromBrowser);
                if (parsed.oversized)
                    return 1; // the stream cannot be framed again; the extension reconnects
                if (!parsed.frames.empty()) {
                    lastReport = parsed.frames.back();
                    pending = lastReport;
                }
                fromBrowser.erase(0, parsed.consumed);
            }
        }

        if (agent.fd < 0)
            continue;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = recv(agent.fd, chunk, sizeof chunk, 0);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                waitMs = agent.drop();
                continue;
            }
            if (n > 0) {
                agent.in.append(chunk, static_cast<std::size_t>(n));
                const auto parsed = framing::parse(agent.in);
                if (parsed.oversized) {
                    waitMs = agent.drop();
                    continue;
                }
                agent.accepted = agent.accepted || !parsed.frames.empty();
                // Whatever the agent sends means "report again": nothing of it reaches the
                // browser but our own fixed query.
                if (!parsed.frames.empty() && !writeAll(STDOUT_FILENO, framing::encode(kQuery)))
                    return 0;
                agent.in.erase(0, parsed.consumed);
            }
        }
        if (!agent.out.empty() && (fds[1].revents & POLLOUT)) {
            const ssize_t n = send(agent.fd, agent.out.data() + agent.sent,
                                   agent.out.size() - agent.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                waitMs = agent.drop();
                pending = lastReport;
                continue;
            }
            if (n > 0 && (agent.sent += static_cast<std::size_t>(n)) == agent.out.size()) {
                agent.out.clear();
                agent.sent = 0;
            }
        }
    }
}
