#pragma once

#include "FrontApplication.h"

#include <memory>

// The front application of an X11 desktop: the EWMH active window mapped to its desktop entry.
// It keeps the window, its identity and title from PropertyNotify events on the root window
// (_NET_ACTIVE_WINDOW) and on the active window (_NET_WM_NAME, WM_NAME), read through a socket
// notifier on the main thread, so a sample costs no round trip. The connection is opened on
// first use and again, on a later sample, after the server went away.
class X11FrontApplicationSource final : public FrontApplicationSource {
public:
    X11FrontApplicationSource();
    ~X11FrontApplicationSource() override;

    std::optional<FrontApplication> frontApplication() override;

private:
    struct State;
    std::unique_ptr<State> m_state;
};
