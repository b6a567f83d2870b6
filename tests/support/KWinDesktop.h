#pragma once

#include <QString>
#include <QTemporaryDir>
#include <chrono>
#include <sys/types.h>

// A private KDE Plasma compositor for one test: its own session bus (DBUS_SESSION_BUS_ADDRESS
// points at it while the object lives) and kwin_wayland --virtual on a socket in
// XDG_RUNTIME_DIR (WAYLAND_DISPLAY names it). KWin offers fake input to the test program itself:
// its desktop entry, declaring the interface, goes to XDG_DATA_HOME before KWin starts. Needs a
// TempEnvironment around it. Ready when KWin owns org.kde.KWin; stopped and reaped at the end.
class KWinDesktop {
public:
    KWinDesktop();
    ~KWinDesktop();
    KWinDesktop(const KWinDesktop&) = delete;
    KWinDesktop& operator=(const KWinDesktop&) = delete;

    bool ready() const { return m_kwin > 0 && m_ready; }
    // Ends KWin and starts a new one on the same bus and socket, as a crash and restart would.
    bool restart();

private:
    bool startKWin();

    QTemporaryDir m_dir;
    QByteArray m_savedBus, m_savedDisplay;
    pid_t m_bus = 0;
    pid_t m_kwin = 0;
    bool m_ready = false;
};

// A witness window (vantor_wayland_test_client) on the KWin of the running KWinDesktop. It logs
// each non-modifier key press as "KEYSYM-HEX MODS" and takes the text of its title file as title.
class WaylandWindow {
public:
    WaylandWindow(const QString& appId, const QString& title);
    ~WaylandWindow();
    WaylandWindow(const WaylandWindow&) = delete;
    WaylandWindow& operator=(const WaylandWindow&) = delete;

    pid_t pid() const { return m_pid; }
    void retitle(const QByteArray& title) const;
    // Runs the event loop until the log holds `count` lines, then returns them.
    QStringList keyLog(int count) const;

private:
    QTemporaryDir m_dir;
    pid_t m_pid = 0;
};
