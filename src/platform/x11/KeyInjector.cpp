#include "KeyInjector.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>
#include <xcb/xtest.h>

namespace {

constexpr uint32_t kShiftL = 0xffe1;
constexpr uint32_t kControlL = 0xffe3;
constexpr uint32_t kAltL = 0xffe9;
// Clients drop events that arrive with no gap; a keymap change needs time to reach them before
// the key that uses it.
constexpr auto kEventGap = std::chrono::milliseconds(4);
constexpr auto kMappingSettle = std::chrono::milliseconds(30);

struct Keymap {
    xcb_keycode_t minKeycode = 0;
    uint8_t perKeycode = 0;
    std::vector<xcb_keysym_t> keysyms; // perKeycode columns for each keycode from minKeycode

    xcb_keysym_t at(xcb_keycode_t keycode, int column) const {
        const std::size_t index = static_cast<std::size_t>(keycode - minKeycode) * perKeycode +
                                  static_cast<std::size_t>(column);
        return index < keysyms.size() ? keysyms[index] : 0;
    }
    int keycodeCount() const {
        return perKeycode ? static_cast<int>(keysyms.size() / perKeycode) : 0;
    }
};

Keymap readKeymap(xcb_connection_t* c) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    auto* reply = xcb_get_keyboard_mapping_reply(
        c, xcb_get_keyboard_mapping(c, setup->min_keycode, static_cast<uint8_t>(count)), nullptr);
    if (!reply)
        throw KeyInjectionError("Could not read the keyboard map");
    Keymap map;
    map.minKeycode = setup->min_keycode;
    map.perKeycode = reply->keysyms_per_keycode;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
    map.keysyms.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(reply));
    std::free(reply);
    return map;
}

struct KeyPosition {
    xcb_keycode_t keycode;
    bool needsShift;
};

// Level 1 on any key first, then level 2 (Shift); the core protocol's first two columns are
// the group-1 levels.
std::optional<KeyPosition> findKey(const Keymap& map, uint32_t keysym) {
    for (int column = 0; column < std::min<int>(2, map.perKeycode); ++column)
        for (int i = 0; i < map.keycodeCount(); ++i) {
            const auto keycode = static_cast<xcb_keycode_t>(map.minKeycode + i);
            if (map.at(keycode, column) == keysym)
                return KeyPosition{keycode, column == 1};
        }
    return std::nullopt;
}

std::optional<xcb_keycode_t> findSpareKeycode(const Keymap& map) {
    // From the top: the high keycodes are the ones layouts leave empty.
    for (int i = map.keycodeCount() - 1; i >= 0; --i) {
        const auto keycode = static_cast<xcb_keycode_t>(map.minKeycode + i);
        bool empty = true;
        for (int column = 0; column < map.perKeycode && empty; ++column)
            empty = map.at(keycode, column) == 0;
        if (empty)
            return keycode;
    }
    return std::nullopt;
}

// Holds what the chord changed on the server and undoes it on every way out.
class Session {
public:
    explicit Session(xcb_connection_t* c) : m_c(c) {}
    ~Session() {
        while (!m_pressed.empty()) {
            send(XCB_KEY_RELEASE, m_pressed.back());
            m_pressed.pop_back();
        }
        if (m_remapped) {
            std::this_thread::sleep_for(kMappingSettle);
            std::vector<xcb_keysym_t> empty(m_perKeycode, 0);
            xcb_change_keyboard_mapping(m_c, 1, *m_remapped, m_perKeycode, empty.data());
        }
        sync();
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void remap(xcb_keycode_t keycode, uint8_t perKeycode, uint32_t keysym) {
        std::vector<xcb_keysym_t> syms(perKeycode, 0);
        syms[0] = keysym;
        if (perKeycode > 1)
            syms[1] = keysym;
        m_perKeycode = perKeycode;
        m_remapped = keycode;
        xcb_change_keyboard_mapping(m_c, 1, keycode, perKeycode, syms.data());
        if (!sync())
            throw KeyInjectionError("The X server went away");
        std::this_thread::sleep_for(kMappingSettle);
    }

    void press(xcb_keycode_t keycode) {
        if (std::find(m_pressed.begin(), m_pressed.end(), keycode) != m_pressed.end())
            return;
        m_pressed.push_back(keycode);
        send(XCB_KEY_PRESS, keycode);
    }

    void releaseAll() {
        while (!m_pressed.empty()) {
            const xcb_keycode_t keycode = m_pressed.back();
            m_pressed.pop_back();
            send(XCB_KEY_RELEASE, keycode);
        }
        if (!sync())
            throw KeyInjectionError("The X server went away");
    }

private:
    void send(uint8_t type, xcb_keycode_t keycode) {
        xcb_test_fake_input(m_c, type, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_flush(m_c);
        std::this_thread::sleep_for(kEventGap);
    }
    bool sync() {
        auto* reply = xcb_get_input_focus_reply(m_c, xcb_get_input_focus(m_c), nullptr);
        std::free(reply);
        return reply != nullptr;
    }

    xcb_connection_t* m_c;
    std::vector<xcb_keycode_t> m_pressed;
    std::optional<xcb_keycode_t> m_remapped;
    uint8_t m_perKeycode = 0;
};

xcb_keycode_t modifierKey(const Keymap& map, KeyModifier modifier) {
    const uint32_t keysym = modifier == KeyModifier::Shift     ? kShiftL
                            : modifier == KeyModifier::Control ? kControlL
                                                               : kAltL;
    const auto position = findKey(map, keysym);
    if (!position || position->needsShift)
        throw KeyInjectionError(modifier == KeyModifier::Shift ? "The keyboard has no Shift key"
                                : modifier == KeyModifier::Control
                                    ? "The keyboard has no Control key"
                                    : "The keyboard has no Alt key");
    return position->keycode;
}

} // namespace

void sendKeyChord(xcb_connection_t* connection, const KeyChord& chord) {
    const auto* extension = xcb_get_extension_data(connection, &xcb_test_id);
    if (!extension || !extension->present)
        throw KeyInjectionError("The X server has no XTEST extension");
    const Keymap map = readKeymap(connection);

    // Resolve every key before anything is pressed: a failure here leaves no trace.
    std::vector<xcb_keycode_t> modifiers;
    for (const KeyModifier modifier : chord.modifiers)
        modifiers.push_back(modifierKey(map, modifier));
    const auto position = findKey(map, chord.keysym);
    std::optional<xcb_keycode_t> spare;
    if (!position) {
        spare = findSpareKeycode(map);
        if (!spare)
            throw KeyInjectionError("No free key to type this character");
    }
    if (position && position->needsShift)
        modifiers.push_back(modifierKey(map, KeyModifier::Shift));

    Session session(connection);
    if (spare)
        session.remap(*spare, map.perKeycode, chord.keysym);
    for (const xcb_keycode_t keycode : modifiers)
        session.press(keycode);
    session.press(position ? position->keycode : *spare);
    session.releaseAll();
}
