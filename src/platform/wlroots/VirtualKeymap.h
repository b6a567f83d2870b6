#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class KeyModifier;

// The keymap behind the agent's virtual keyboard: one key per keysym a chord has needed so far,
// so every character types whatever layout the user runs. The map grows as chords need new
// keysyms and starts over, holding only the new one, when it is full. Main thread only.
class VirtualKeymap {
public:
    static constexpr std::size_t kMaxKeys = 64;

    VirtualKeymap();
    ~VirtualKeymap();
    VirtualKeymap(const VirtualKeymap&) = delete;
    VirtualKeymap& operator=(const VirtualKeymap&) = delete;

    // The Wayland key code (evdev numbering) that types `keysym`, adding a key when needed.
    // Throws KeyInjectionError when the keysym has no name xkbcommon accepts.
    uint32_t keyFor(uint32_t keysym);

    // The XKB text to upload when the map changed since the last upload (then marked as
    // uploaded), else empty. The text is compiled here first: the compositor ends the connection
    // of a client whose keymap it cannot compile. Throws KeyInjectionError when it does not.
    std::string takeChangedText();

    // The depressed-modifier mask for `modifiers` in this keymap.
    uint32_t modifierMask(const std::vector<KeyModifier>& modifiers) const;

    // Forces the next takeChangedText to return the map: a new keyboard starts without one.
    void invalidate() { m_changed = true; }

private:
    std::string text() const;

    struct Xkb;
    std::unique_ptr<Xkb> m_xkb;
    std::vector<std::string> m_names; // keysym names, key i has code i + 1
    std::vector<uint32_t> m_keysyms;
    bool m_changed = true;
};
