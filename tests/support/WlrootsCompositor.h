#pragma once

#include "TestDesktop.h"

// A private headless wlroots compositor (sway, labwc or cage) for one test: `start_wlroots` of
// tests/e2e/desktop.sh. Under root it and its clients run as nobody. HOME, the XDG folders,
// WAYLAND_DISPLAY and (sway) SWAYSOCK point at it while the object lives.
class WlrootsCompositor : public TestDesktop {
public:
    explicit WlrootsCompositor(std::string name);
    // Why `name` cannot run here (a program it needs is not installed); empty when it can.
    static std::string missing(const std::string& name);
    // The version the compositor names (`-v`), as "0.1.4".
    QString version() const;
    // Kills the compositor (and so every client) as a crash would, then starts a new one.
    bool restart();
    // Focuses or hides the window with this app_id, as a user's key binding (sway) or a taskbar
    // through the foreign-toplevel protocol (the others, with wlrctl) would.
    bool focus(const std::string& appId) const;
    bool hide(const std::string& appId) const;
    QString clientDir() const override;
    pid_t spawnClient(const std::vector<std::string>& argv) const override;

private:
    bool control(const char* swayCommand, const char* toplevelAction,
                 const std::string& appId) const;

    std::string m_name;
};
