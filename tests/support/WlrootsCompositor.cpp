#include "SwayDesktop.h"

#include "XDesktop.h"

#include <QFileInfo>
#include <csignal>
#include <unistd.h>

bool SwayDesktop::restart() {
    // sway-ipc.UID.PID.sock
    ::kill(qEnvironmentVariable("SWAYSOCK").section(QLatin1Char('.'), -2, -2).toInt(), SIGKILL);
    stop();
    return m_ready = startScript("start_sway");
}

bool SwayDesktop::command(const std::string& text) const {
    return runProgram({"swaymsg", "-q", text}) == 0;
}

QString SwayDesktop::clientDir() const {
    return QFileInfo(qEnvironmentVariable("WAYLAND_DISPLAY")).path();
}

pid_t SwayDesktop::spawnClient(const std::vector<std::string>& argv) const {
    // As sway_client of the script does.
    const std::string dir = clientDir().toStdString();
    std::vector<std::string> line;
    if (::geteuid() == 0)
        line = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    line.insert(line.end(), {"env", "-i", "LANG=C.UTF-8", "PATH=/usr/bin:/bin", "HOME=" + dir,
                             "XDG_RUNTIME_DIR=" + dir,
                             "WAYLAND_DISPLAY=" + qgetenv("WAYLAND_DISPLAY").toStdString(),
                             "QT_QPA_PLATFORM=wayland"});
    line.insert(line.end(), argv.begin(), argv.end());
    return spawnProgram(line);
}
