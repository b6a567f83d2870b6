#include "VirtualKeymap.h"

#include "KeyChord.h"

#include <algorithm>
#include <xkbcommon/xkbcommon.h>

namespace {

// XKB key codes are evdev codes plus 8; key i of the map sits at evdev code i + 1.
constexpr uint32_t kFirstEvdevCode = 1;
constexpr uint32_t kXkbOffset = 8;

} // namespace

struct VirtualKeymap::Xkb {
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    xkb_keymap* keymap = nullptr;
    ~Xkb() {
        xkb_keymap_unref(keymap);
        xkb_context_unref(context);
    }
};

VirtualKeymap::VirtualKeymap() : m_xkb(std::make_unique<Xkb>()) {}

VirtualKeymap::~VirtualKeymap() = default;

uint32_t VirtualKeymap::keyFor(uint32_t keysym) {
    const auto found = std::find(m_keysyms.begin(), m_keysyms.end(), keysym);
    if (found != m_keysyms.end())
        return kFirstEvdevCode + static_cast<uint32_t>(found - m_keysyms.begin());
    char name[64];
    if (keysym == 0 || xkb_keysym_get_name(keysym, name, sizeof name) <= 0)
        throw KeyInjectionError("This key has no name the keyboard map can hold");
    if (m_keysyms.size() >= kMaxKeys) {
        m_keysyms.clear();
        m_names.clear();
    }
    m_keysyms.push_back(keysym);
    m_names.emplace_back(name);
    m_changed = true;
    return kFirstEvdevCode + static_cast<uint32_t>(m_keysyms.size() - 1);
}

std::string VirtualKeymap::text() const {
    std::string keycodes, symbols;
    for (std::size_t i = 0; i < m_names.size(); ++i) {
        const std::string key = "<K" + std::to_string(i) + ">";
        keycodes += "  " + key + " = " + std::to_string(i + kFirstEvdevCode + kXkbOffset) + ";\n";
        symbols += "  key " + key + " { [ " + m_names[i] + " ] };\n";
    }
    return "xkb_keymap {\n"
           "xkb_keycodes \"vantor\" {\n  minimum = 8;\n  maximum = 255;\n" +
           keycodes +
           "};\n"
           "xkb_types \"vantor\" { include \"complete\" };\n"
           "xkb_compatibility \"vantor\" { include \"complete\" };\n"
           "xkb_symbols \"vantor\" {\n" +
           symbols + "};\n};\n";
}

std::string VirtualKeymap::takeChangedText() {
    if (!m_changed)
        return {};
    std::string map = text();
    xkb_keymap* compiled = m_xkb->context ? xkb_keymap_new_from_string(m_xkb->context, map.c_str(),
                                                                       XKB_KEYMAP_FORMAT_TEXT_V1,
                                                                       XKB_KEYMAP_COMPILE_NO_FLAGS)
                                          : nullptr;
    if (!compiled)
        throw KeyInjectionError("Could not build a keyboard map for this key");
    xkb_keymap_unref(m_xkb->keymap);
    m_xkb->keymap = compiled;
    m_changed = false;
    return map;
}

uint32_t VirtualKeymap::modifierMask(const std::vector<KeyModifier>& modifiers) const {
    uint32_t mask = 0;
    for (const KeyModifier modifier : modifiers) {
        const char* name = modifier == KeyModifier::Shift     ? XKB_MOD_NAME_SHIFT
                           : modifier == KeyModifier::Control ? XKB_MOD_NAME_CTRL
                                                              : XKB_MOD_NAME_ALT;
        const xkb_mod_index_t index =
            m_xkb->keymap ? xkb_keymap_mod_get_index(m_xkb->keymap, name) : XKB_MOD_INVALID;
        if (index == XKB_MOD_INVALID || index >= 32)
            throw KeyInjectionError("The keyboard map has no such modifier");
        mask |= 1u << index;
    }
    return mask;
}
