#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

// Key chords as the desktop backends press them. Plain C++: the agent and the helper programs
// both use it.

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

// The keysym that types a Unicode character (Latin-1 keysyms for U+0020..U+00FF, the Unicode
// keysym range above); 0 for control characters.
uint32_t keysymForCharacter(char32_t character);
