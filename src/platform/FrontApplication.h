#pragma once

#include <QString>
#include <QtGlobal>
#include <functional>
#include <optional>

// The application that receives the user's input now, and its focused window.
struct FrontApplication {
    std::optional<QString> name;       // display name, when the application has one
    std::optional<QString> identifier; // stable identifier (desktop id), when known
    QString title;                     // the focused window's title; empty when it has none
    qint64 pid = 0;                    // the window's process; 0 where the desktop does not say
};

// Tells which application is in front. A desktop session keeps this from the desktop's own
// events, so `frontApplication` reads kept state: no process, no round trip, never blocking on a
// missing display. Main thread only.
class FrontApplicationSource {
public:
    virtual ~FrontApplicationSource() = default;

    // Nothing when no application is in front or the desktop cannot be asked.
    virtual std::optional<FrontApplication> frontApplication() = 0;

    // Called on the main thread when focus moves to another window or to none; a title change
    // of the same window does not call it. Set before the source is first asked.
    std::function<void()> onFocusChange;

protected:
    void notifyFocusChange() {
        if (onFocusChange)
            onFocusChange();
    }
};

// For a desktop the agent cannot observe: there is never a front application.
class NoFrontApplicationSource final : public FrontApplicationSource {
public:
    std::optional<FrontApplication> frontApplication() override { return std::nullopt; }
};
