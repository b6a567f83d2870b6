#pragma once

#include "DesktopSession.h"

#include <QString>
#include <vector>

// Which desktop backend the agent uses: the one place that knows every family.

// What the environment says about the session; only hints, each backend confirms by probing.
struct SessionHints {
    QString forced;         // VANTOR_DESKTOP: "x11", "wlroots", "kde" or "gnome"
    QString sessionType;    // XDG_SESSION_TYPE
    QString currentDesktop; // XDG_CURRENT_DESKTOP, e.g. "KDE", "GNOME", "sway"
    bool waylandDisplay = false;

    static SessionHints fromEnvironment();
};

// The backends to try, in order, for these hints. A forced backend is tried alone; on a Wayland
// session the desktop the hints name goes first and the other Wayland families follow (hints
// lie); X11 is always last, as the backend of X11 sessions and the fallback of all.
std::vector<DesktopBackend> backendOrder(const SessionHints& hints);

// Tries the backends in `backendOrder` and keeps the first whose probe succeeds. Main thread;
// every probe is bounded.
DesktopSession openDesktopSession(const SessionHints& hints);
