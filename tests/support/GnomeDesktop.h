#pragma once

#include <QString>
#include <QTemporaryDir>
#include <sys/types.h>
#include <vector>

// A private GNOME Shell 43 for one test: its own system and session buses, a home where our
// extension and the test helper extension (tests/support/gnome-helper) are installed and
// enabled, then `gnome-shell --headless --wayland`. The extension answers only the test program
// itself. HOME, the XDG folders and the bus addresses point at it while the object lives (set
// before the test first touches the session bus). Ready when both extensions own their names.
class GnomeDesktop {
public:
    GnomeDesktop();
    ~GnomeDesktop();
    GnomeDesktop(const GnomeDesktop&) = delete;
    GnomeDesktop& operator=(const GnomeDesktop&) = delete;

    bool ready() const { return m_ready; }
    QString waylandDisplay() const { return QStringLiteral("vantor-gnome"); }

    // Runs a program to its end with the fixture's environment; its exit status.
    int run(const std::vector<std::string>& argv) const;
    // Switches our extension on or off while the Shell runs.
    bool setExtensionEnabled(bool enabled) const;
    // Focuses the window with this app id (through the test helper extension).
    bool activate(const QString& appId) const;
    // A native Wayland witness window (vantor_wayland_test_client) on this Shell.
    pid_t startWindow(const QString& appId, const QString& title, const QString& log) const;

private:
    QTemporaryDir m_dir;
    std::vector<std::pair<QByteArray, QByteArray>> m_savedEnvironment;
    mutable std::vector<pid_t> m_pids;
    bool m_ready = false;
};
