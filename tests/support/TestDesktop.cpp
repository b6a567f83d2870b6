#include "TestDesktop.h"

#include "TempEnvironment.h"

#include <QFile>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

bool reapWithin(pid_t pid, std::chrono::milliseconds timeout) {
    return waitUntil(
        [pid] {
            const pid_t done = ::waitpid(pid, nullptr, WNOHANG);
            return done == pid || (done < 0 && errno == ECHILD);
        },
        timeout);
}

pid_t spawnProgram(const std::vector<std::string>& argv,
                   const std::vector<std::string>& extraEnvironment) {
    std::vector<std::string> environment = extraEnvironment;
    for (char** item = environ; *item; ++item) {
        const std::string entry = *item;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        if (std::none_of(extraEnvironment.begin(), extraEnvironment.end(),
                         [&](const std::string& extra) { return extra.starts_with(name); }))
            environment.push_back(entry);
    }
    const auto pointers = [](const std::vector<std::string>& words) {
        std::vector<char*> list;
        for (const std::string& word : words)
            list.push_back(const_cast<char*>(word.c_str()));
        list.push_back(nullptr);
        return list;
    };
    // Each in a process group of its own, so that stopping it reaches whatever it left running.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    pid_t pid = 0;
    const bool started = ::posix_spawnp(&pid, argv.at(0).c_str(), nullptr, &attributes,
                                        pointers(argv).data(), pointers(environment).data()) == 0;
    posix_spawnattr_destroy(&attributes);
    return started ? pid : 0;
}

void stopProgram(pid_t pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    if (!reapWithin(pid, std::chrono::seconds(3))) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    // A straggler (a shell's `sleep` that a stop raced past) would hold the test's output open.
    ::kill(-pid, SIGKILL);
}

std::vector<std::string> waitForLines(const std::string& path, std::size_t count,
                                      std::chrono::milliseconds timeout) {
    std::vector<std::string> lines;
    waitUntil(
        [&] {
            lines.clear();
            std::ifstream in(path);
            for (std::string line; std::getline(in, line);)
                lines.push_back(line);
            return lines.size() >= count;
        },
        timeout);
    return lines;
}

TestDesktop::~TestDesktop() {
    stop();
    // What the compositor's services leave to us (adopted by a subreaper) is reaped here too.
    waitUntil([] { return ::waitpid(-1, nullptr, WNOHANG) < 0; }, std::chrono::seconds(5));
    // Newest first: a variable set twice gets its value from before the first time.
    for (auto saved = m_savedEnvironment.rbegin(); saved != m_savedEnvironment.rend(); ++saved)
        saved->second.isNull() ? qunsetenv(saved->first.constData())
                               : qputenv(saved->first.constData(), saved->second);
}

void TestDesktop::stop() {
    for (auto pid = m_pids.rbegin(); pid != m_pids.rend(); ++pid)
        stopProgram(*pid);
    m_pids.clear();
}

void TestDesktop::setEnvironment(const char* name, const QByteArray& value) {
    m_savedEnvironment.emplace_back(name, qgetenv(name));
    qputenv(name, value);
}

bool TestDesktop::startScript(const std::string& call, const char* names) {
    const QString ready = m_dir.filePath(QStringLiteral("environment"));
    QFile::remove(ready);
    // The shell stays until told to stop, then stops what it started (its exit trap).
    m_pids.push_back(spawnProgram(
        {"bash", "-c",
         "source \"$0\"; " + call +
             "; env -0 >\"$1.part\"; mv \"$1.part\" \"$1\"; trap 'kill $!; exit 0' TERM; while :; "
             "do sleep 3600 >/dev/null & wait $!; done",
         VANTOR_TEST_SOURCE_DIR "/e2e/desktop.sh", ready.toStdString()}));
    QFile file(ready);
    if (!waitUntil([&] { return file.exists(); }, std::chrono::seconds(40)) ||
        !file.open(QIODevice::ReadOnly))
        return false;
    const QRegularExpression wanted(
        QRegularExpression::anchoredPattern(QString::fromLatin1(names)));
    for (const QByteArray& entry : file.readAll().split('\0')) {
        const QByteArray name = entry.left(entry.indexOf('='));
        if (wanted.match(QString::fromUtf8(name)).hasMatch())
            setEnvironment(name.constData(), entry.mid(name.size() + 1));
    }
    return true;
}

pid_t TestDesktop::spawnClient(const std::vector<std::string>& argv) const {
    return spawnProgram(argv, {"QT_QPA_PLATFORM=wayland", "LANG=C.UTF-8"});
}

int runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    const pid_t pid = spawnProgram(argv, env);
    int status = -1;
    // A desktop tool that hangs fails the test in seconds, naming itself.
    if (pid <= 0 || !waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; },
                               std::chrono::seconds(30))) {
        std::fprintf(stderr, "%s did not finish within 30 s\n", argv.at(0).c_str());
        stopProgram(pid);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

WaylandWindow::WaylandWindow(const TestDesktop& desktop, const std::string& appId,
                             const std::string& title) {
    m_log = desktop.clientDir().toStdString() + '/' + appId + ".keys";
    m_pid = desktop.spawnClient({VANTOR_WAYLAND_TEST_CLIENT, "--app-id", appId, "--title", title,
                                 "--log", m_log, "--title-file", m_log + ".title"});
}
