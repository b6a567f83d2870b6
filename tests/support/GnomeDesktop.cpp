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
    m_ready = start();
}

bool GnomeDesktop::start() {
    const QString ready = m_dir.filePath(QStringLiteral("environment"));
    // The script stays until told to stop, then stops what it started (its exit trap).
    m_pids.push_back(spawnProgram(
        {"bash", "-c",
         "source \"$0\"; start_gnome \"$1\" \"$2\"; env -0 >\"$3.part\"; mv \"$3.part\" \"$3\"; "
         "trap 'kill $!; exit 0' TERM; while :; do sleep 3600 >/dev/null & wait $!; done",
         VANTOR_TEST_SOURCE_DIR "/e2e/desktop.sh", VANTOR_BUILD_DIR,
         QFile::symLinkTarget(QStringLiteral("/proc/self/exe")).toStdString(),
         ready.toStdString()}));
    QFile file(ready);
    if (!waitUntil([&] { return file.exists(); }, std::chrono::seconds(40)) ||
        !file.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& entry : file.readAll().split('\0')) {
        const QByteArray name = entry.left(entry.indexOf('='));
        if (name.startsWith("XDG_") || name.startsWith("DBUS_") || name == "HOME" ||
            name == "WAYLAND_DISPLAY" || name == "LANG")
            setEnvironment(name.constData(), entry.mid(name.size() + 1));
    }
    return true;
}

GnomeDesktop::~GnomeDesktop() {
    stop();
    waitUntil([] { return ::waitpid(-1, nullptr, WNOHANG) < 0; }, std::chrono::seconds(5));
}

bool GnomeDesktop::setExtensionEnabled(bool enabled) const {
    return runProgram({"gsettings", "set", "org.gnome.shell", "enabled-extensions",
                       enabled
                           ? "['vantor-test-helper@keyloft.com', 'vantor-companion@keyloft.com']"
                           : "['vantor-test-helper@keyloft.com']"}) == 0;
}

bool GnomeDesktop::activate(const std::string& appId) const {
    return runProgram({"sh", "-c",
                       "gdbus call --session -d com.keyloft.VantorCompanion.TestHelper -o "
                       "/com/keyloft/VantorCompanion/TestHelper -m "
                       "com.keyloft.VantorCompanion.TestHelper.Activate \"$0\" | grep -q true",
                       appId}) == 0;
}
