#include "SwayDesktop.h"

#include "XDesktop.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr uid_t kNobody = 65534;

// Under root, a command line that runs `argv` as nobody; the environment is only `environment`,
// the output goes to `log`.
std::vector<std::string> asCompositorUser(const std::vector<std::string>& environment,
                                          const std::vector<std::string>& argv,
                                          const std::string& log) {
    std::vector<std::string> line;
    if (::geteuid() == 0)
        line = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    line.push_back("env");
    line.push_back("-i");
    line.insert(line.end(), environment.begin(), environment.end());
    line.insert(line.end(), {"sh", "-c", "exec \"$0\" \"$@\" >>'" + log + "' 2>&1"});
    line.insert(line.end(), argv.begin(), argv.end());
    return line;
}

} // namespace

SwayDesktop::SwayDesktop() {
    std::string pattern = "/tmp/vantor-sway-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        return;
    m_dir = pattern;
    std::ofstream(m_dir + "/sway.conf") << "output * resolution 800x600\ndefault_border "
                                           "none\nfocus_follows_mouse no\nxwayland disable\n";
    if (::geteuid() == 0 && (::chown(m_dir.c_str(), kNobody, kNobody) != 0 ||
                             ::chown((m_dir + "/sway.conf").c_str(), kNobody, kNobody) != 0))
        return;
    start();
}

SwayDesktop::~SwayDesktop() {
    stopProgram(m_compositor);
    ::unsetenv("WAYLAND_DISPLAY");
    if (!m_dir.empty())
        std::filesystem::remove_all(m_dir);
}

void SwayDesktop::start() {
    m_socket.clear();
    m_compositor = spawnProgram(asCompositorUser(
        {"LANG=C.UTF-8", "PATH=/usr/bin:/bin", "HOME=" + m_dir, "XDG_RUNTIME_DIR=" + m_dir,
         "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman",
         "WLR_HEADLESS_OUTPUTS=1"},
        {"sway", "-c", m_dir + "/sway.conf"}, m_dir + "/sway.log"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (m_compositor && m_socket.empty() && std::chrono::steady_clock::now() < deadline) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir, error))
            if (entry.path().filename().string().rfind("wayland-", 0) == 0 && entry.is_socket())
                m_socket = entry.path().string();
        if (m_socket.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!m_socket.empty())
        ::setenv("WAYLAND_DISPLAY", m_socket.c_str(), 1);
}

bool SwayDesktop::restart() {
    const std::string before = m_socket;
    ::kill(m_compositor, SIGKILL);
    ::waitpid(m_compositor, nullptr, 0);
    // The socket file outlives a killed compositor: a client would find it and be refused.
    std::filesystem::remove(m_socket);
    start();
    return ready() && m_socket == before;
}

pid_t SwayDesktop::spawnClient(const std::vector<std::string>& argv) const {
    return spawnProgram(asCompositorUser({"LANG=C.UTF-8", "PATH=/usr/bin:/bin", "HOME=" + m_dir,
                                          "XDG_RUNTIME_DIR=" + m_dir, "WAYLAND_DISPLAY=" + m_socket,
                                          "QT_QPA_PLATFORM=wayland"},
                                         argv, m_dir + "/clients.log"));
}

bool SwayDesktop::focus(const std::string& appId) const {
    const std::string ipc = m_dir + "/sway-ipc." +
                            std::to_string(::geteuid() == 0 ? kNobody : ::geteuid()) + "." +
                            std::to_string(m_compositor) + ".sock";
    const pid_t pid =
        spawnProgram({"swaymsg", "-q", "[app_id=\"" + appId + "\"] focus"}, {"SWAYSOCK=" + ipc});
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

WaylandWindow::WaylandWindow(const SwayDesktop& desktop, const std::string& appId,
                             const std::string& title)
    : m_log(desktop.runtimeDir() + "/" + appId + ".keys"),
      m_titleFile(desktop.runtimeDir() + "/" + appId + ".title") {
    m_pid = desktop.spawnClient({VANTOR_WAYLAND_TEST_CLIENT, "--app-id", appId, "--title", title,
                                 "--log", m_log, "--title-file", m_titleFile});
}

WaylandWindow::~WaylandWindow() {
    stopProgram(m_pid);
}

void WaylandWindow::retitle(const std::string& title) const {
    std::ofstream(m_titleFile, std::ios::trunc) << title;
}

std::vector<std::string> WaylandWindow::keyLog(std::size_t count,
                                               std::chrono::milliseconds timeout) const {
    return waitForLines(m_log, count, timeout);
}
