#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>
#include <xcb/xcb.h>

enum class KeyModifier { Shift, Control, Alt };

// One key pressed with modifiers held, the key named by its X keysym.
struct KeyChord {
    std::vector<KeyModifier> modifiers; // in pressing order; repeats are pressed once
    uint32_t keysym = 0;
};

// Why a chord could not be sent; the text is meant for the user.
class KeyInjectionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Presses the chord through XTest as real key events for the focused window: the modifiers,
// Shift as well when the keysym sits on the key's second level, the key, then the releases in
// reverse order, a few milliseconds apart. A keysym that no key carries is put on a spare
// keycode for the press and the keycode is emptied again afterwards. Every key pressed is
// released and the keymap restored even when a step fails. Throws KeyInjectionError.
void sendKeyChord(xcb_connection_t* connection, const KeyChord& chord);

// The keysym that types a Unicode character (Latin-1 keysyms for U+0020..U+00FF, the Unicode
// keysym range above); 0 for control characters.
uint32_t keysymForCharacter(char32_t character);
