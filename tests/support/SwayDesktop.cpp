#include "SwayDesktop.h"

#include "TempEnvironment.h"
#include "XDesktop.h"

#include <QDir>
#include <unistd.h>

namespace {

constexpr uid_t kNobody = 65534;

// Under root, a command line that runs `argv` as nobody; the environment is only `environment`,
// the output goes to `log`.
std::vector<std::string> asCompositorUser(std::vector<std::string> environment,
                                          const std::vector<std::string>& argv,
                                          const std::string& log) {
    std::vector<std::string> line;
    if (::geteuid() == 0)
        line = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    line.insert(line.end(), {"env", "-i", "LANG=C.UTF-8", "PATH=/usr/bin:/bin"});
    line.insert(line.end(), environment.begin(), environment.end());
    line.insert(line.end(), {"sh", "-c", "exec \"$0\" \"$@\" >>'" + log + "' 2>&1"});
    line.insert(line.end(), argv.begin(), argv.end());
    return line;
}

} // namespace

SwayDesktop::SwayDesktop() {
    const std::string dir = m_dir.path().toStdString();
    writeTestFile(m_dir.filePath(QStringLiteral("sway.conf")),
                  "output * resolution 800x600\ndefault_border none\nfocus_follows_mouse no\n"
                  "xwayland disable\n");
    if (::geteuid() != 0 || (::chown(dir.c_str(), kNobody, kNobody) == 0 &&
                             ::chown((dir + "/sway.conf").c_str(), kNobody, kNobody) == 0))
        m_ready = start();
}

bool SwayDesktop::start() {
    const std::string dir = m_dir.path().toStdString();
    m_pids.push_back(spawnProgram(asCompositorUser(
        {"HOME=" + dir, "XDG_RUNTIME_DIR=" + dir, "WLR_BACKENDS=headless",
         "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman", "WLR_HEADLESS_OUTPUTS=1"},
        {"sway", "-c", dir + "/sway.conf"}, dir + "/sway.log")));
    m_socket.clear();
    const bool listening = waitUntil(
        [&] {
            for (const QFileInfo& entry :
                 QDir(m_dir.path()).entryInfoList({QStringLiteral("wayland-*")}, QDir::System))
                m_socket = entry.filePath();
            return !m_socket.isEmpty();
        },
        std::chrono::seconds(10));
    if (listening)
        setEnvironment("WAYLAND_DISPLAY", m_socket.toUtf8());
    return listening;
}

pid_t SwayDesktop::spawnClient(const std::vector<std::string>& argv) const {
    const std::string dir = m_dir.path().toStdString();
    return spawnProgram(
        asCompositorUser({"HOME=" + dir, "XDG_RUNTIME_DIR=" + dir,
                          "WAYLAND_DISPLAY=" + m_socket.toStdString(), "QT_QPA_PLATFORM=wayland"},
                         argv, dir + "/clients.log"));
}

bool SwayDesktop::command(const std::string& text) const {
    const std::string ipc = m_dir.path().toStdString() + "/sway-ipc." +
                            std::to_string(::geteuid() == 0 ? kNobody : ::geteuid()) + "." +
                            std::to_string(m_pids.back()) + ".sock";
    return runProgram({"swaymsg", "-q", text}, {"SWAYSOCK=" + ipc}) == 0;
}
