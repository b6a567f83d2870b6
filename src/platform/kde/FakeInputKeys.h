#pragma once

#include "KeySender.h"

#include <QString>
#include <memory>

// Key chords on KWin through org_kde_kwin_fake_input, on the agent's own Wayland connection.
// The interface takes key codes, so keysyms are looked up in the keymap KWin sends for the
// seat's keyboard. KWin offers the interface only to a program whose installed desktop entry
// declares X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input. The connection is opened on first
// use and again after the compositor went away.
class FakeInputKeys final : public KeySender {
public:
    FakeInputKeys();
    ~FakeInputKeys() override;

    void send(const KeyChord& chord) override;

    // Why keys cannot be pressed now, for the log; empty when they can (connects if needed).
    QString refusal();

private:
    struct State;
    std::unique_ptr<State> m_state;
};
