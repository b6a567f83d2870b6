#pragma once

#include <QString>
#include <QTemporaryDir>
#include <string>
#include <sys/types.h>
#include <vector>

// A private GNOME Shell 43 for one test, started by `start_gnome` of tests/e2e/desktop.sh (its
// own system and session buses, our extension answering this test program, the test helper
// extension). HOME, the XDG folders, the bus addresses and WAYLAND_DISPLAY point at it while the
// object lives; set them before the test first touches the session bus. Stopped, with
// everything it started, on destruction.
class GnomeDesktop {
public:
    GnomeDesktop();
    ~GnomeDesktop();
    GnomeDesktop(const GnomeDesktop&) = delete;
    GnomeDesktop& operator=(const GnomeDesktop&) = delete;

    bool ready() const { return m_ready; }

    // Runs a program to its end; its exit status.
    int run(const std::vector<std::string>& argv) const;
    // Switches our extension on or off while the Shell runs.
    bool setExtensionEnabled(bool enabled) const;
    // Focuses the window with this app id (through the test helper extension).
    bool activate(const QString& appId) const;
    // A native Wayland witness window (vantor_wayland_test_client); it retitles from LOG.title.
    void startWindow(const QString& appId, const QString& title, const QString& log);

private:
    QTemporaryDir m_dir;
    std::vector<std::pair<QByteArray, QByteArray>> m_savedEnvironment;
    std::vector<pid_t> m_pids;
    bool m_ready = false;
};
