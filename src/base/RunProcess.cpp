#include "RunProcess.h"

#include "AgentError.h"
#include "Text.h"

#include <QByteArray>
#include <QFile>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kTerminateAfter{7000};
constexpr std::chrono::milliseconds kKillAfter{2000};
// Without a process descriptor the exit is noticed by polling at this period.
constexpr int kFallbackPollMs = 5;

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return m_fd; }
    void reset(int fd = -1) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

void makePipe(Fd& readEnd, Fd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw SystemError(QStringLiteral("pipe2 failed: ") + systemText(errno));
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
}

// Reads what is available now; returns false once the writer side is closed.
bool drain(int fd, QByteArray& into) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        return false;
    }
}

pid_t spawn(const QString& path, const QStringList& arguments, int outFd, int errFd) {
    const QByteArray program = QFile::encodeName(path);
    std::vector<QByteArray> storage;
    storage.reserve(arguments.size() + 1);
    storage.push_back(program);
    for (const QString& argument : arguments)
        storage.push_back(argument.toUtf8());
    std::vector<char*> argv;
    for (QByteArray& item : storage)
        argv.push_back(item.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);

    // The caller may be a thread with signals blocked (Qt's are); the child starts clean.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int error =
        ::posix_spawn(&pid, program.constData(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw SystemError(QStringLiteral("Could not launch %1: %2").arg(path, systemText(error)));
    return pid;
}

int openProcessFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    Q_UNUSED(pid);
    return -1;
#endif
}

bool reap(pid_t pid, int& status, bool block) {
    for (;;) {
        const pid_t result = ::waitpid(pid, &status, block ? 0 : WNOHANG);
        if (result == pid)
            return true;
        if (result < 0 && errno == EINTR)
            continue;
        return false;
    }
}

} // namespace

QString runProcess(const QString& path, const QStringList& arguments) {
    Fd outRead, outWrite, errRead, errWrite;
    makePipe(outRead, outWrite);
    makePipe(errRead, errWrite);

    const pid_t pid = spawn(path, arguments, outWrite.get(), errWrite.get());
    const auto launchedAt = Clock::now();
    outWrite.reset();
    errWrite.reset();
    Fd processFd(openProcessFd(pid));

    QByteArray out, err;
    bool outOpen = true, errOpen = true;
    bool terminateSent = false, killSent = false;
    int status = 0;
    bool exited = false;

    while (!exited) {
        const auto now = Clock::now();
        if (!terminateSent && now >= launchedAt + kTerminateAfter) {
            ::kill(pid, SIGTERM);
            terminateSent = true;
        }
        if (!killSent && now >= launchedAt + kTerminateAfter + kKillAfter) {
            ::kill(pid, SIGKILL);
            killSent = true;
        }
        const auto nextDeadline = !terminateSent ? launchedAt + kTerminateAfter
                                                 : launchedAt + kTerminateAfter + kKillAfter;
        int timeoutMs = static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(nextDeadline - now).count());
        if (killSent)
            timeoutMs = -1;
        if (processFd.get() < 0 && (timeoutMs < 0 || timeoutMs > kFallbackPollMs))
            timeoutMs = kFallbackPollMs;

        pollfd fds[3];
        nfds_t count = 0;
        if (outOpen)
            fds[count++] = {outRead.get(), POLLIN, 0};
        if (errOpen)
            fds[count++] = {errRead.get(), POLLIN, 0};
        if (processFd.get() >= 0)
            fds[count++] = {processFd.get(), POLLIN, 0};
        if (::poll(fds, count, timeoutMs) < 0 && errno != EINTR)
            break;

        if (outOpen)
            outOpen = drain(outRead.get(), out);
        if (errOpen)
            errOpen = drain(errRead.get(), err);
        // Without a process descriptor the pipes' end usually marks the exit; a grandchild that
        // keeps them open must not hold the caller, so the exit is checked on every pass too.
        exited = reap(pid, status, false);
    }
    if (!exited)
        reap(pid, status, true);
    // Everything the child wrote before it exited is already in the pipes.
    if (outOpen)
        drain(outRead.get(), out);
    if (errOpen)
        drain(errRead.get(), err);

    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        const QString message = trimmedText(decodeUtf8OrEmpty(err));
        throw AgentError::invalid(message.isEmpty() ? QStringLiteral("Command failed") : message);
    }
    return trimmedText(decodeUtf8OrEmpty(out));
}
