#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

// A private headless sway for one test, with its own runtime folder. sway refuses to run as
// root, so under root it and its clients run as nobody in a folder nobody owns (root still
// reaches the socket). WAYLAND_DISPLAY names the socket by its full path while the object lives.
// Stopped and reaped on destruction.
class SwayDesktop {
public:
    SwayDesktop();
    ~SwayDesktop();
    SwayDesktop(const SwayDesktop&) = delete;
    SwayDesktop& operator=(const SwayDesktop&) = delete;

    bool ready() const { return !m_socket.empty(); }
    const std::string& runtimeDir() const { return m_dir; }
    // Kills the compositor (and so every client) as a crash would, then starts it again; true
    // when it listens on the same socket again.
    bool restart();
    // Asks sway to focus the window with this app_id, as a user's key binding would.
    bool focus(const std::string& appId) const;
    // Starts a program as the compositor's user, in its session.
    pid_t spawnClient(const std::vector<std::string>& argv) const;

private:
    void start();

    std::string m_dir;
    std::string m_socket;
    pid_t m_compositor = 0;
};

// One witness window (vantor_wayland_test_client) on the compositor: it logs its key presses
// and takes a new title when `retitle` is called.
class WaylandWindow {
public:
    WaylandWindow(const SwayDesktop& desktop, const std::string& appId, const std::string& title);
    ~WaylandWindow();
    WaylandWindow(const WaylandWindow&) = delete;
    WaylandWindow& operator=(const WaylandWindow&) = delete;

    void retitle(const std::string& title) const;
    // Polls until the log holds `count` lines, then returns them.
    std::vector<std::string>
    keyLog(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

private:
    std::string m_log;
    std::string m_titleFile;
    pid_t m_pid = 0;
};
