#pragma once

#include "TempEnvironment.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// What the private desktops of the tests share: the environment pointing at the desktop
// (restored on destruction) and the programs started for it (stopped in reverse on destruction).
class TestDesktop {
public:
    virtual ~TestDesktop();

    bool ready() const { return m_ready; }
    // A folder the compositor's clients may write to.
    virtual QString clientDir() const { return m_dir.path(); }
    // Starts a program as a client of the compositor.
    virtual pid_t spawnClient(const std::vector<std::string>& argv) const;

protected:
    // Runs `call` (start_x, start_sway, start_gnome ARGS...) of tests/e2e/desktop.sh in a shell
    // that holds what it started until stopped, and takes the variables it exports whose names
    // match `names` (a regular expression).
    bool startScript(const std::string& call,
                     const char* names = "XDG_.*|DBUS_.*|WLR_.*|HOME|WAYLAND_.*|SWAYSOCK|LANG");
    void setEnvironment(const char* name, const QByteArray& value);
    void stop();

    QTemporaryDir m_dir;
    std::vector<pid_t> m_pids;
    bool m_ready = false;

private:
    std::vector<std::pair<QByteArray, QByteArray>> m_savedEnvironment;
};

// Starts a program with the given arguments and environment additions; its pid.
pid_t spawnProgram(const std::vector<std::string>& argv,
                   const std::vector<std::string>& extraEnvironment = {});
// Polls until the file holds `count` lines (a witness window's key log), then returns them.
std::vector<std::string> waitForLines(const std::string& path, std::size_t count,
                                      std::chrono::milliseconds timeout);
// Polls until the child `pid` has exited; reaps it.
bool reapWithin(pid_t pid, std::chrono::milliseconds timeout);
// Sends SIGTERM (then SIGKILL after a grace period), reaps, and kills what is left of its group.
void stopProgram(pid_t pid);

// Runs a program to its end (30 s at most); its exit status, -1 when it did not exit normally.
int runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

// A witness program, which logs each non-modifier key press it gets as one line of its log.
// Stopped on destruction.
class KeyWitness {
public:
    ~KeyWitness() { stopProgram(m_pid); }
    KeyWitness(const KeyWitness&) = delete;
    KeyWitness& operator=(const KeyWitness&) = delete;

    pid_t pid() const { return m_pid; }
    // Polls until the log holds `count` lines (5 s at most), then returns them.
    std::vector<std::string> keyLog(std::size_t count) const {
        return waitForLines(m_log, count, std::chrono::seconds(5));
    }

protected:
    KeyWitness() = default;
    std::string m_log;
    pid_t m_pid = 0;
};

// A witness window (vantor_wayland_test_client) on the desktop. It logs key presses as
// "KEYSYM-HEX MODS" and takes what `retitle` writes as its title.
class WaylandWindow : public KeyWitness {
public:
    WaylandWindow(const TestDesktop& desktop, const std::string& appId, const std::string& title);

    // Whether it has had the keyboard, where the compositor tells nobody else.
    bool active() const { return QFile::exists(QString::fromStdString(m_log + ".active")); }
    void retitle(const QByteArray& title) const {
        writeTestFile(QString::fromStdString(m_log + ".title"), title);
    }
};
