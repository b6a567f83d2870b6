#pragma once

struct KeyChord;

// Presses key chords for the focused window from inside the agent, on desktops whose input
// route is a connection the agent keeps open (Wayland). Main thread only; returns once the
// desktop has taken the events, within a bounded wait. Throws KeyInjectionError with a text for
// the user when the chord cannot be delivered: a chord is never reported as sent otherwise.
class KeySender {
public:
    virtual ~KeySender() = default;
    virtual void send(const KeyChord& chord) = 0;
};
