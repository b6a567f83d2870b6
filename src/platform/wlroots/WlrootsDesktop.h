#pragma once

#include "FrontApplication.h"
#include "KeySender.h"

#include <memory>

// A wlroots compositor (sway, Hyprland, labwc, river, wayfire) seen through a Wayland connection
// of the agent's own, independent of the platform plugin the tray uses, read through a socket
// notifier on the main thread. The focused window comes from zwlr_foreign_toplevel_manager_v1
// (a handle's state counts once its `done` arrives), chords go out through one
// zwp_virtual_keyboard_v1 kept while the connection lives. A compositor offering only one of
// the two is used for what it offers (a line in the log names the protocol it lacks). When the
// compositor is missing or goes away there is no front application, and the connection is tried
// again with a back-off (1 s doubling to 10 s).
class WlrootsDesktop final : public FrontApplicationSource, public KeySender {
public:
    WlrootsDesktop();
    ~WlrootsDesktop() override;

    std::optional<FrontApplication> frontApplication() override;

    // Returns once the compositor has taken the chord (a round trip, within about a second).
    void send(const KeyChord& chord) override;

private:
    struct State;
    std::unique_ptr<State> m_state;
};
