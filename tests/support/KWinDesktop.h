#pragma once

#include "TestDesktop.h"

// A private KDE Plasma compositor for one test: its own session bus (DBUS_SESSION_BUS_ADDRESS
// points at it while the object lives) and kwin_wayland --virtual on a socket in
// XDG_RUNTIME_DIR (WAYLAND_DISPLAY names it). KWin offers fake input to the test program itself:
// its desktop entry, declaring the interface, goes to XDG_DATA_HOME before KWin starts. Needs a
// TempEnvironment around it. Ready when KWin owns org.kde.KWin.
class KWinDesktop : public TestDesktop {
public:
    KWinDesktop();
    // Ends KWin and starts a new one on the same bus and socket, as a crash and restart would;
    // `whileAway` runs in between.
    bool restart(const std::function<void()>& whileAway = {});

private:
    bool startKWin();
};
