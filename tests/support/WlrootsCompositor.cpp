#include "WlrootsCompositor.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <csignal>
#include <unistd.h>

namespace {

const char* kNames = "XDG_.*|DBUS_.*|HOME|WAYLAND_DISPLAY|SWAYSOCK|LANG|WLR_PID";

} // namespace

WlrootsCompositor::WlrootsCompositor(std::string name) : m_name(std::move(name)) {
    m_ready = startScript("start_wlroots " + m_name, kNames);
}

std::string WlrootsCompositor::missing(const std::string& name) {
    // labwc has no command of its own to focus a window.
    for (const std::string& program : {name, std::string(name == "labwc" ? "wlrctl" : "")})
        if (!program.empty() &&
            QStandardPaths::findExecutable(QString::fromStdString(program)).isEmpty())
            return program + " is not installed: no " + name + " here to test";
    return {};
}

QString WlrootsCompositor::version() const {
    QProcess program;
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(QString::fromStdString(m_name), {QStringLiteral("-v")});
    program.waitForFinished(5000);
    return QRegularExpression(QStringLiteral("[0-9]+(\\.[0-9]+)+"))
        .match(QString::fromUtf8(program.readAll()))
        .captured();
}

bool WlrootsCompositor::restart() {
    ::kill(qEnvironmentVariableIntValue("WLR_PID"), SIGKILL);
    stop();
    return m_ready = startScript("start_wlroots " + m_name, kNames);
}

bool WlrootsCompositor::control(const char* swayCommand, const char* toplevelAction,
                                const std::string& appId) const {
    if (m_name == "sway")
        return runProgram({"timeout", "5", "swaymsg", "-q",
                           "[app_id=\"" + appId + "\"] " + swayCommand}) == 0;
    return runProgram({"timeout", "5", "wlrctl", "toplevel", toplevelAction, "app_id:" + appId}) ==
           0;
}

bool WlrootsCompositor::focus(const std::string& appId) const {
    return control("focus", "focus", appId);
}

bool WlrootsCompositor::hide(const std::string& appId) const {
    // Hidden with no other window to take the focus, a window is deactivated.
    return control("move scratchpad", "minimize", appId);
}

QString WlrootsCompositor::clientDir() const {
    return QFileInfo(qEnvironmentVariable("WAYLAND_DISPLAY")).path();
}

pid_t WlrootsCompositor::spawnClient(const std::vector<std::string>& argv) const {
    // As wlroots_client of the script does.
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
