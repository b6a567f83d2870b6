#include "FakeInputKeys.h"

#include "KeyChord.h"
#include "fake-input-client-protocol.h"

#include <QSocketNotifier>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(2);
constexpr uint32_t kMaxKeymapBytes = 1 << 20;

const char* const kRefused =
    "KWin does not let this program press keys: it offers fake input only to a program whose "
    "installed desktop entry lists X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input. Start the "
    "agent installed from its package (vantor-companion)";

struct Key {
    uint32_t code = 0; // evdev code, as fake input takes it
    bool shift = false;
};

} // namespace

struct FakeInputKeys::State {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    org_kde_kwin_fake_input* fakeInput = nullptr;
    wl_seat* seat = nullptr;
    wl_keyboard* keyboard = nullptr;
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    xkb_keymap* keymap = nullptr;
    xkb_layout_index_t layout = 0;
    std::unique_ptr<QSocketNotifier> notifier;
    uint64_t requested = 0; // sync requests sent, and answered
    uint64_t synced = 0;

    ~State() {
        disconnect();
        xkb_context_unref(context);
    }

    bool connected() const { return display && wl_display_get_error(display) == 0; }
    bool connect();
    void disconnect();
    bool roundtrip();
    void dispatch();
    std::optional<Key> lookup(uint32_t keysym) const;

    static const wl_registry_listener registryListener;
    static const wl_seat_listener seatListener;
    static const wl_keyboard_listener keyboardListener;
};

const wl_registry_listener FakeInputKeys::State::registryListener = {
    [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
        auto* s = static_cast<State*>(data);
        if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0 && version >= 4 &&
            !s->fakeInput)
            s->fakeInput = static_cast<org_kde_kwin_fake_input*>(
                wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4));
        else if (std::strcmp(interface, wl_seat_interface.name) == 0 && !s->seat) {
            s->seat = static_cast<wl_seat*>(
                wl_registry_bind(registry, name, &wl_seat_interface, std::min(version, 5u)));
            wl_seat_add_listener(s->seat, &seatListener, s);
        }
    },
    [](void*, wl_registry*, uint32_t) {},
};

const wl_seat_listener FakeInputKeys::State::seatListener = {
    [](void* data, wl_seat* seat, uint32_t capabilities) {
        auto* s = static_cast<State*>(data);
        if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !s->keyboard) {
            s->keyboard = wl_seat_get_keyboard(seat);
            wl_keyboard_add_listener(s->keyboard, &keyboardListener, s);
        }
    },
    [](void*, wl_seat*, const char*) {},
};

const wl_keyboard_listener FakeInputKeys::State::keyboardListener = {
    [](void* data, wl_keyboard*, uint32_t format, int32_t fd, uint32_t size) {
        auto* s = static_cast<State*>(data);
        if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0 && size <= kMaxKeymapBytes) {
            void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
            if (map != MAP_FAILED) {
                // The map ends in a NUL; a compositor that leaves it out gets no keymap.
                const auto* text = static_cast<const char*>(map);
                if (::memchr(text, '\0', size)) {
                    if (xkb_keymap* keymap =
                            xkb_keymap_new_from_string(s->context, text, XKB_KEYMAP_FORMAT_TEXT_V1,
                                                       XKB_KEYMAP_COMPILE_NO_FLAGS)) {
                        xkb_keymap_unref(s->keymap);
                        s->keymap = keymap;
                        s->layout = 0;
                    }
                }
                ::munmap(map, size);
            }
        }
        ::close(fd);
    },
    [](void*, wl_keyboard*, uint32_t, wl_surface*, wl_array*) {},
    [](void*, wl_keyboard*, uint32_t, wl_surface*) {},
    [](void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t) {},
    [](void* data, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t group) {
        auto* s = static_cast<State*>(data);
        if (s->keymap && group < xkb_keymap_num_layouts(s->keymap))
            s->layout = group;
    },
    [](void*, wl_keyboard*, int32_t, int32_t) {},
};

bool FakeInputKeys::State::connect() {
    if (connected())
        return true;
    disconnect();
    display = wl_display_connect(nullptr);
    if (!display)
        return false;
    registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, this);
    // Globals, then the seat's capabilities, then the keyboard's keymap.
    for (int i = 0; i < 3; ++i)
        if (!roundtrip()) {
            disconnect();
            return false;
        }
    notifier = std::make_unique<QSocketNotifier>(wl_display_get_fd(display), QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { dispatch(); });
    if (fakeInput) {
        org_kde_kwin_fake_input_authenticate(fakeInput, "Vantor Companion",
                                             "Presses the key chords chosen in the console");
        wl_display_flush(display);
    }
    return true;
}

void FakeInputKeys::State::disconnect() {
    notifier.reset();
    if (keyboard)
        wl_keyboard_destroy(keyboard);
    if (seat)
        wl_seat_destroy(seat);
    if (fakeInput)
        org_kde_kwin_fake_input_destroy(fakeInput);
    if (registry)
        wl_registry_destroy(registry);
    if (display)
        wl_display_disconnect(display);
    keyboard = nullptr;
    seat = nullptr;
    fakeInput = nullptr;
    registry = nullptr;
    display = nullptr;
    xkb_keymap_unref(keymap);
    keymap = nullptr;
    requested = synced = 0;
}

void FakeInputKeys::State::dispatch() {
    if (wl_display_dispatch(display) < 0) // the notifier saw data: this read does not block
        disconnect();
}

// wl_display_roundtrip waits without end; this one gives up after kWait. A late answer only
// counts up `synced`.
bool FakeInputKeys::State::roundtrip() {
    static const wl_callback_listener listener = {[](void* data, wl_callback* callback, uint32_t) {
        ++static_cast<State*>(data)->synced;
        wl_callback_destroy(callback);
    }};
    const uint64_t wanted = ++requested;
    wl_callback_add_listener(wl_display_sync(display), &listener, this);
    const auto deadline = Clock::now() + kWait;
    while (synced < wanted) {
        if (wl_display_dispatch_pending(display) < 0)
            return false;
        if (synced >= wanted)
            break;
        if (wl_display_flush(display) < 0 && errno != EAGAIN)
            return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        if (wl_display_prepare_read(display) != 0)
            continue;
        pollfd fd{wl_display_get_fd(display), POLLIN, 0};
        if (::poll(&fd, 1, int(left.count())) <= 0) {
            wl_display_cancel_read(display);
            continue;
        }
        if (wl_display_read_events(display) < 0)
            return false;
    }
    return true;
}

std::optional<Key> FakeInputKeys::State::lookup(uint32_t keysym) const {
    if (!keymap)
        return std::nullopt;
    const xkb_mod_index_t shift = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
    std::optional<Key> shifted;
    for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap);
         code <= xkb_keymap_max_keycode(keymap) && code >= 8; ++code) {
        const xkb_layout_index_t layouts = xkb_keymap_num_layouts_for_key(keymap, code);
        if (layouts == 0)
            continue;
        const xkb_layout_index_t layout = this->layout < layouts ? this->layout : 0;
        const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, code, layout);
        for (xkb_level_index_t level = 0; level < levels && level < 2; ++level) {
            const xkb_keysym_t* syms = nullptr;
            if (xkb_keymap_key_get_syms_by_level(keymap, code, layout, level, &syms) != 1 ||
                syms[0] != keysym)
                continue;
            // Levels reached with Shift alone (or nothing) only: no AltGr, no Lock tricks.
            xkb_mod_mask_t masks[8];
            const size_t count =
                xkb_keymap_key_get_mods_for_level(keymap, code, layout, level, masks, 8);
            for (size_t i = 0; i < count; ++i) {
                if (masks[i] == 0)
                    return Key{code - 8, false};
                if (shift != XKB_MOD_INVALID && masks[i] == (1u << shift) && !shifted)
                    shifted = Key{code - 8, true};
            }
        }
    }
    return shifted;
}

FakeInputKeys::FakeInputKeys() : m_state(std::make_unique<State>()) {}

FakeInputKeys::~FakeInputKeys() = default;

QString FakeInputKeys::refusal() {
    State& s = *m_state;
    if (!s.connect())
        return QStringLiteral("no Wayland connection to KWin for keys yet");
    if (!s.fakeInput)
        return QLatin1String(kRefused);
    if (!s.keymap)
        return QStringLiteral("KWin sent no keyboard map");
    return {};
}

void FakeInputKeys::send(const KeyChord& chord) {
    State& s = *m_state;
    if (!s.connect())
        throw KeyInjectionError("Could not connect to the Wayland display");
    if (!s.fakeInput)
        throw KeyInjectionError(kRefused);
    if (!s.keymap)
        throw KeyInjectionError("Could not read the keyboard map");
    const auto key = s.lookup(chord.keysym);
    if (!key) {
        char name[64] = "";
        xkb_keysym_get_name(chord.keysym, name, sizeof name);
        throw KeyInjectionError(std::string("The current keyboard layout has no key for ") + name);
    }
    std::vector<uint32_t> held;
    auto hold = [&](uint32_t keysym) {
        const auto modifier = s.lookup(keysym);
        if (!modifier)
            throw KeyInjectionError(std::string("The keyboard has no ") +
                                    (keysym == XKB_KEY_Shift_L     ? "Shift"
                                     : keysym == XKB_KEY_Control_L ? "Control"
                                                                   : "Alt") +
                                    " key");
        for (const uint32_t code : held)
            if (code == modifier->code)
                return;
        held.push_back(modifier->code);
    };
    for (const KeyModifier modifier : chord.modifiers)
        hold(modifier == KeyModifier::Shift     ? XKB_KEY_Shift_L
             : modifier == KeyModifier::Control ? XKB_KEY_Control_L
                                                : XKB_KEY_Alt_L);
    if (key->shift)
        hold(XKB_KEY_Shift_L);

    // Every key pressed is released again, in reverse order, whatever happens in between.
    for (const uint32_t code : held)
        org_kde_kwin_fake_input_keyboard_key(s.fakeInput, code, WL_KEYBOARD_KEY_STATE_PRESSED);
    org_kde_kwin_fake_input_keyboard_key(s.fakeInput, key->code, WL_KEYBOARD_KEY_STATE_PRESSED);
    org_kde_kwin_fake_input_keyboard_key(s.fakeInput, key->code, WL_KEYBOARD_KEY_STATE_RELEASED);
    for (auto code = held.rbegin(); code != held.rend(); ++code)
        org_kde_kwin_fake_input_keyboard_key(s.fakeInput, *code, WL_KEYBOARD_KEY_STATE_RELEASED);
    if (!s.roundtrip()) {
        s.disconnect();
        throw KeyInjectionError("KWin did not take the keys in time");
    }
}
