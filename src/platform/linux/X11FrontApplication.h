#pragma once

#include "FrontApplication.h"

#include <memory>

// The front application of an X11 desktop: the EWMH active window mapped to its desktop entry.
// One connection, opened on first use and again after the server went away; a sample costs two
// round trips, and the desktop entries are indexed once and rescanned only when they change.
class X11FrontApplicationSource final : public FrontApplicationSource {
public:
    X11FrontApplicationSource();
    ~X11FrontApplicationSource() override;

    std::optional<FrontApplication> frontApplication() override;

private:
    struct State;
    std::unique_ptr<State> m_state;
};
