#pragma once

#include "TestDesktop.h"

// A private headless sway for one test: `start_sway` of tests/e2e/desktop.sh. Under root sway
// and its clients run as nobody. HOME, the XDG folders, WAYLAND_DISPLAY and SWAYSOCK point at it
// while the object lives.
class SwayDesktop : public TestDesktop {
public:
    SwayDesktop() { m_ready = startScript("start_sway"); }
    // Kills sway (and so every client) as a crash would, then starts a new one.
    bool restart();
    // A sway command (`[app_id=x] focus`), as a user's key binding would give it.
    bool command(const std::string& text) const;
    QString clientDir() const override;
    pid_t spawnClient(const std::vector<std::string>& argv) const override;
};
