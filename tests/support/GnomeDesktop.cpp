#include "GnomeDesktop.h"

#include "TempEnvironment.h"
#include "XDesktop.h"

#include <QFile>
#include <sys/prctl.h>
#include <sys/wait.h>

GnomeDesktop::GnomeDesktop() {
    // The buses start services (dconf, accessibility) that outlive them by a moment: adopt them
    // so they are reaped here rather than left as zombies.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    const std::string ready = m_dir.filePath(QStringLiteral("environment")).toStdString();
    // The script stays until told to stop, then stops what it started (its exit trap).
    m_pids.push_back(spawnProgram(
        {"bash", "-c",
         "source \"$0\"; start_gnome \"$1\" \"$2\"; env -0 >\"$3.part\"; mv \"$3.part\" \"$3\"; "
         "trap 'kill $!; exit 0' TERM; while :; do sleep 3600 >/dev/null & wait $!; done",
         VANTOR_TEST_SOURCE_DIR "/e2e/desktop.sh", VANTOR_BUILD_DIR,
         QFile::symLinkTarget(QStringLiteral("/proc/self/exe")).toStdString(), ready}));
    QFile file(QString::fromStdString(ready));
    if (!waitUntil([&] { return file.exists(); }, std::chrono::seconds(40)) ||
        !file.open(QIODevice::ReadOnly))
        return;
    for (const QByteArray& entry : file.readAll().split('\0')) {
        const QByteArray name = entry.left(entry.indexOf('='));
        if (name.startsWith("XDG_") || name.startsWith("DBUS_") || name == "HOME" ||
            name == "WAYLAND_DISPLAY" || name == "LANG") {
            m_savedEnvironment.emplace_back(name, qgetenv(name.constData()));
            qputenv(name.constData(), entry.mid(name.size() + 1));
        }
    }
    m_ready = true;
}

GnomeDesktop::~GnomeDesktop() {
    for (auto pid = m_pids.rbegin(); pid != m_pids.rend(); ++pid)
        stopProgram(*pid);
    waitUntil([] { return ::waitpid(-1, nullptr, WNOHANG) < 0; }, std::chrono::seconds(5));
    for (const auto& [name, value] : m_savedEnvironment)
        value.isNull() ? qunsetenv(name.constData()) : qputenv(name.constData(), value);
}

int GnomeDesktop::run(const std::vector<std::string>& argv) const {
    const pid_t pid = spawnProgram(argv);
    int status = -1;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool GnomeDesktop::setExtensionEnabled(bool enabled) const {
    return run({"gsettings", "set", "org.gnome.shell", "enabled-extensions",
                enabled ? "['vantor-test-helper@keyloft.com', 'vantor-companion@keyloft.com']"
                        : "['vantor-test-helper@keyloft.com']"}) == 0;
}

bool GnomeDesktop::activate(const QString& appId) const {
    return run({"sh", "-c",
                "gdbus call --session -d com.keyloft.VantorCompanion.TestHelper -o "
                "/com/keyloft/VantorCompanion/TestHelper -m "
                "com.keyloft.VantorCompanion.TestHelper.Activate \"$0\" | grep -q true",
                appId.toStdString()}) == 0;
}

void GnomeDesktop::startWindow(const QString& appId, const QString& title, const QString& log) {
    m_pids.push_back(spawnProgram({VANTOR_WAYLAND_TEST_CLIENT, "--app-id", appId.toStdString(),
                                   "--title", title.toStdString(), "--log", log.toStdString(),
                                   "--title-file", log.toStdString() + ".title"},
                                  {"QT_QPA_PLATFORM=wayland"}));
}
