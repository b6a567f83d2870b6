#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>

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

// The backend in use: its front-window source, its key sender (null where chords go through the
// script runner, as on X11) and the line the agent logs at start.
struct DesktopSession {
    DesktopBackend backend = DesktopBackend::X11;
    std::shared_ptr<FrontApplicationSource> front;
    std::shared_ptr<KeySender> keys;
    QString description;
    std::shared_ptr<DesktopProblem> problem; // null where the backend reports none
};
