#pragma once

#include "TestDesktop.h"

// A private GNOME Shell for one test, by `start_gnome` of tests/e2e/desktop.sh (own buses, our
// extension listing `shellVersions` ('"42"') if given and answering this program, the helper
// extension). HOME, the XDG folders, the bus addresses and WAYLAND_DISPLAY point at it while the
// object lives; set them before the test first touches the session bus.
class GnomeDesktop : public TestDesktop {
public:
    explicit GnomeDesktop(const std::string& shellVersions = {});

    // Switches our extension on or off while the Shell runs.
    bool setExtensionEnabled(bool enabled) const;
};
