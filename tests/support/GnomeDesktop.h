#pragma once

#include "TestDesktop.h"

// A private GNOME Shell 43 for one test, started by `start_gnome` of tests/e2e/desktop.sh (its
// own system and session buses, our extension answering this test program, the test helper
// extension). HOME, the XDG folders, the bus addresses and WAYLAND_DISPLAY point at it while the
// object lives; set them before the test first touches the session bus. `shellVersions` ('"42"')
// replaces the Shell releases our extension lists.
class GnomeDesktop : public TestDesktop {
public:
    explicit GnomeDesktop(const std::string& shellVersions = {});

    // Switches our extension on or off while the Shell runs.
    bool setExtensionEnabled(bool enabled) const;
};
