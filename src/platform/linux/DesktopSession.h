#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class FrontApplicationSource;
class KeySender;

// The desktop families the agent can observe and drive, each behind the same seam.
enum class DesktopBackend { X11, Wlroots, Kde, Gnome };

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

// What keeps a backend from its desktop, in a few words for the tray menu's status line (what
// to do about it goes to the log); none while it works. The backend changes it on the main
// thread and then calls onChange.
struct DesktopProblem {
    std::optional<QString> text;
    std::function<void()> onChange;
};

// The backend in use: its front-window source, its key sender (null where chords go through the
// script runner, as on X11) and the line the agent logs at start.
struct DesktopSession {
    DesktopBackend backend = DesktopBackend::X11;
    std::shared_ptr<FrontApplicationSource> front;
    std::shared_ptr<KeySender> keys;
    QString description;
    std::shared_ptr<DesktopProblem> problem; // null where the backend reports none
};

// Tries the backends in `backendOrder` and keeps the first whose probe succeeds. Main thread;
// every probe is bounded.
DesktopSession openDesktopSession(const SessionHints& hints);
