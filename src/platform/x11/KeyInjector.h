#pragma once

#include "KeyChord.h"

#include <xcb/xcb.h>

// Presses the chord through XTest as real key events for the focused window: the modifiers,
// Shift as well when the keysym sits on the key's second level, the key, then the releases in
// reverse order, a few milliseconds apart. A keysym that no key carries is put on a spare
// keycode for the press and the keycode is emptied again afterwards. Every key pressed is
// released and the keymap restored even when a step fails. Throws KeyInjectionError.
void sendKeyChord(xcb_connection_t* connection, const KeyChord& chord);
