#include "WaylandDesktop.h"

#include "TempEnvironment.h"
#include "XDesktop.h"

#include <QFile>
#include <csignal>
#include <fstream>
#include <sys/wait.h>

WaylandDesktop::~WaylandDesktop() {
    stop();
    // Newest first: a variable set twice gets its value from before the first time.
    for (auto saved = m_savedEnvironment.rbegin(); saved != m_savedEnvironment.rend(); ++saved)
        saved->second.isNull() ? qunsetenv(saved->first.constData())
                               : qputenv(saved->first.constData(), saved->second);
}

void WaylandDesktop::stop() {
    for (auto pid = m_pids.rbegin(); pid != m_pids.rend(); ++pid)
        stopProgram(*pid);
    m_pids.clear();
}

void WaylandDesktop::setEnvironment(const char* name, const QByteArray& value) {
    m_savedEnvironment.emplace_back(name, qgetenv(name));
    qputenv(name, value);
}

bool WaylandDesktop::restart() {
    if (m_pids.empty())
        return false;
    ::kill(m_pids.back(), SIGKILL);
    ::waitpid(m_pids.back(), nullptr, 0);
    m_pids.pop_back();
    // Left behind, the socket would let a client (or the wait for it) find a dead compositor.
    QFile::remove(m_socket);
    QFile::remove(m_socket + QStringLiteral(".lock"));
    const QString before = m_socket;
    m_ready = start();
    return m_ready && m_socket == before;
}

pid_t WaylandDesktop::spawnClient(const std::vector<std::string>& argv) const {
    return spawnProgram(argv, {"QT_QPA_PLATFORM=wayland", "LANG=C.UTF-8"});
}

int runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    const pid_t pid = spawnProgram(argv, env);
    int status = -1;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

WaylandWindow::WaylandWindow(const WaylandDesktop& desktop, const std::string& appId,
                             const std::string& title)
    : m_log(desktop.dir().toStdString() + '/' + appId + ".keys") {
    m_pid = desktop.spawnClient({VANTOR_WAYLAND_TEST_CLIENT, "--app-id", appId, "--title", title,
                                 "--log", m_log, "--title-file", m_log + ".title"});
}

WaylandWindow::~WaylandWindow() {
    stopProgram(m_pid);
}

void WaylandWindow::retitle(const QByteArray& title) const {
    writeTestFile(QString::fromStdString(m_log + ".title"), title);
}

std::vector<std::string> WaylandWindow::keyLog(std::size_t count) const {
    std::vector<std::string> lines;
    waitUntil([&] {
        lines.clear();
        std::ifstream in(m_log);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines.size() >= count;
    });
    return lines;
}
