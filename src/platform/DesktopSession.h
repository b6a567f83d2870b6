#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class FrontApplicationSource;
class KeySender;

// The desktop families the agent can observe and drive. Each backend folder returns a
// DesktopSession from its `open`, so the core and the chooser need none of a backend's types.
enum class DesktopBackend { X11, Wlroots, Kde, Gnome };

// What keeps a backend from its desktop, in a few words for the tray menu's status line (what
// to do about it goes to the log); none while it works. The backend changes it on the main
// thread and then calls onChange.
struct DesktopProblem {
    std::optional<QString> text;
    std::function<void()> onChange;
};

// One entry of the agent's status menu as a desktop shows it outside the agent: a separator or an
// item; `id` names the item's command, 0 for a line that is only read.
struct StatusMenuEntry {
    quint32 id = 0;
    QString title;
    bool enabled = false;
    bool checkable = false;
    bool checked = false;
    bool separator = false;

    bool operator==(const StatusMenuEntry&) const = default;
};

// Where the desktop itself shows the agent's status menu (GNOME's top bar, which has no tray).
// The shell hands it the whole menu on every change, or none while its own tray icon shows the
// menu; the backend calls onActivate (main thread, outside any bus call) with the id of an
// enabled entry of the last menu it was given, and only when the desktop chose it.
class StatusMenuHost {
public:
    virtual ~StatusMenuHost() = default;
    virtual void showMenu(const std::vector<StatusMenuEntry>& entries) = 0;

    std::function<void(quint32 id)> onActivate;
};

// The backend in use: its front-window source, its key sender (null where chords go through the
// script runner, as on X11) and the line the agent logs at start.
struct DesktopSession {
    DesktopBackend backend = DesktopBackend::X11;
    std::shared_ptr<FrontApplicationSource> front;
    std::shared_ptr<KeySender> keys;
    QString description;
    std::shared_ptr<DesktopProblem> problem; // null where the backend reports none
    std::shared_ptr<StatusMenuHost> menu;    // null where the desktop shows no menu for us
};
