#pragma once

#include "WaylandDesktop.h"

// A private headless sway for one test. sway refuses to run as root, so under root it and its
// clients run as nobody in a folder nobody owns (root still reaches the socket). WAYLAND_DISPLAY
// names the socket by its full path while the object lives.
class SwayDesktop : public WaylandDesktop {
public:
    SwayDesktop();
    // A sway command (`[app_id="x"] focus`), as a user's key binding would give it.
    bool command(const std::string& text) const;
    pid_t spawnClient(const std::vector<std::string>& argv) const override;

private:
    bool start() override;
};
