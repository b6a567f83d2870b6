#include "WlrootsDesktop.h"

#include "DesktopIndex.h"
#include "FrontWindow.h"
#include "KeyChord.h"
#include "Log.h"
#include "VirtualKeymap.h"
#include "WindowApps.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <poll.h>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kFirstRetry{1000};
constexpr milliseconds kLastRetry{10000};
constexpr milliseconds kAnswerWait{1000};
// Some clients drop a key whose press and release arrive in the same read.
constexpr milliseconds kKeyGap{4};
constexpr uint32_t kToplevelVersion = 3;
// A compositor full of windows (or a client opening them in a loop) must not grow us unbounded.
constexpr std::size_t kMaxToplevels = 4096;
constexpr std::size_t kMaxAppIdBytes = 512;
constexpr uint32_t kActivated = ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED;

struct Toplevel {
    struct Fields {
        std::string title;
        std::string appId;
        bool activated = false;
    };
    zwlr_foreign_toplevel_handle_v1* handle = nullptr;
    Fields pending;
    Fields applied;
};

std::string capped(const char* text, std::size_t limit) {
    return std::string(text, strnlen(text, limit));
}

} // namespace

struct WlrootsDesktop::State {
    WlrootsDesktop* owner = nullptr;
    DesktopIndex index;
    VirtualKeymap keymap;

    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    zwlr_foreign_toplevel_manager_v1* toplevels = nullptr;
    zwp_virtual_keyboard_manager_v1* keyboards = nullptr;
    wl_seat* seat = nullptr;
    zwp_virtual_keyboard_v1* keyboard = nullptr;
    std::map<zwlr_foreign_toplevel_handle_v1*, std::unique_ptr<Toplevel>> windows;
    Toplevel* focused = nullptr;
    std::optional<FrontApplication> front;
    bool focusMoved = false;
    bool reading = false;
    bool ending = false; // the toplevel manager said `finished`: the compositor is going away

    std::unique_ptr<QSocketNotifier> notifier;
    QTimer retry;
    milliseconds retryIn = kFirstRetry;

    bool connect();
    void disconnect();
    void scheduleRetry();
    bool pump(milliseconds wait);
    bool roundtrip(milliseconds wait);
    void drain();
    void reportFocus();
    void setFocus(Toplevel* window);
    void describeFocus();
    void uploadKeymap(const std::string& text);
    std::string shortfall() const;

    static const wl_registry_listener kRegistry;
    static const zwlr_foreign_toplevel_manager_v1_listener kManager;
    static const zwlr_foreign_toplevel_handle_v1_listener kHandle;
};

const wl_registry_listener WlrootsDesktop::State::kRegistry = {
    [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
        auto* s = static_cast<State*>(data);
        const std::string_view which = interface;
        if (which == zwlr_foreign_toplevel_manager_v1_interface.name && !s->toplevels) {
            s->toplevels = static_cast<zwlr_foreign_toplevel_manager_v1*>(
                wl_registry_bind(registry, name, &zwlr_foreign_toplevel_manager_v1_interface,
                                 std::min(version, kToplevelVersion)));
            zwlr_foreign_toplevel_manager_v1_add_listener(s->toplevels, &kManager, s);
        } else if (which == zwp_virtual_keyboard_manager_v1_interface.name && !s->keyboards) {
            s->keyboards = static_cast<zwp_virtual_keyboard_manager_v1*>(
                wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
        } else if (which == wl_seat_interface.name && !s->seat) {
            // Version 1 and no listener: the seat only names where the keys go.
            s->seat =
                static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        }
    },
    [](void*, wl_registry*, uint32_t) {},
};

const zwlr_foreign_toplevel_manager_v1_listener WlrootsDesktop::State::kManager = {
    [](void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* handle) {
        auto* s = static_cast<State*>(data);
        if (s->windows.size() >= kMaxToplevels) {
            zwlr_foreign_toplevel_handle_v1_destroy(handle);
            return;
        }
        auto window = std::make_unique<Toplevel>();
        window->handle = handle;
        zwlr_foreign_toplevel_handle_v1_add_listener(handle, &kHandle, s);
        s->windows.emplace(handle, std::move(window));
    },
    [](void* data, zwlr_foreign_toplevel_manager_v1*) {
        // The compositor stops telling about windows (it is going away): as if it were gone.
        static_cast<State*>(data)->ending = true;
    },
};

const zwlr_foreign_toplevel_handle_v1_listener WlrootsDesktop::State::kHandle = {
    // title
    [](void* data, zwlr_foreign_toplevel_handle_v1* handle, const char* title) {
        auto& windows = static_cast<State*>(data)->windows;
        if (const auto found = windows.find(handle); found != windows.end())
            found->second->pending.title = capped(title, kMaxTitleBytes + 1);
    },
    // app_id
    [](void* data, zwlr_foreign_toplevel_handle_v1* handle, const char* appId) {
        auto& windows = static_cast<State*>(data)->windows;
        if (const auto found = windows.find(handle); found != windows.end())
            found->second->pending.appId = capped(appId, kMaxAppIdBytes);
    },
    [](void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {},
    [](void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {},
    // state
    [](void* data, zwlr_foreign_toplevel_handle_v1* handle, wl_array* states) {
        auto& windows = static_cast<State*>(data)->windows;
        const auto found = windows.find(handle);
        if (found == windows.end())
            return;
        const auto* first = static_cast<const uint32_t*>(states->data);
        const auto* last = first + states->size / sizeof(uint32_t);
        found->second->pending.activated = std::find(first, last, kActivated) != last;
    },
    // done: the state so far is one consistent picture
    [](void* data, zwlr_foreign_toplevel_handle_v1* handle) {
        auto* s = static_cast<State*>(data);
        const auto found = s->windows.find(handle);
        if (found == s->windows.end())
            return;
        Toplevel* window = found->second.get();
        window->applied = window->pending;
        if (window->applied.activated)
            s->setFocus(window);
        else if (s->focused == window)
            s->setFocus(nullptr);
        else
            return;
        s->describeFocus();
    },
    // closed
    [](void* data, zwlr_foreign_toplevel_handle_v1* handle) {
        auto* s = static_cast<State*>(data);
        const auto found = s->windows.find(handle);
        if (found == s->windows.end())
            return;
        if (s->focused == found->second.get()) {
            s->setFocus(nullptr);
            s->describeFocus();
        }
        zwlr_foreign_toplevel_handle_v1_destroy(handle);
        s->windows.erase(found);
    },
    [](void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {},
};

void WlrootsDesktop::State::setFocus(Toplevel* window) {
    if (window != focused)
        focusMoved = true;
    focused = window;
}

void WlrootsDesktop::State::describeFocus() {
    if (!focused) {
        front.reset();
        return;
    }
    const std::string& appId = focused->applied.appId;
    // sway gives an Xwayland window's WM_CLASS as its app_id, a native one its desktop id.
    front = describeWindow(index, WindowIdentity{appId, appId, appId, 0}, focused->applied.title);
}

bool WlrootsDesktop::State::connect() {
    display = wl_display_connect(nullptr);
    if (!display)
        return false;
    registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kRegistry, this);
    // Either protocol alone is worth a connection: keys without a known focus (cage), or the
    // focus without keys.
    if (!roundtrip(kAnswerWait) || (!toplevels && !(keyboards && seat))) {
        disconnect();
        return false;
    }
    if (keyboards && seat) {
        // A keyboard made just before its first chord loses that chord on sway: make it now.
        keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboards, seat);
        keymap.invalidate();
        keymap.keyFor(XKB_KEY_space);
        try {
            uploadKeymap(keymap.takeChangedText());
        } catch (const KeyInjectionError&) {
            // A later chord tries again and reports it.
            keymap.invalidate();
        }
    }
    if (const std::string missing = shortfall(); !missing.empty())
        logEvent(QStringLiteral("Wayland compositor incomplete"), QString::fromStdString(missing));
    wl_display_flush(display);
    notifier = std::make_unique<QSocketNotifier>(wl_display_get_fd(display), QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { drain(); });
    retryIn = kFirstRetry;
    return true;
}

void WlrootsDesktop::State::disconnect() {
    notifier.reset();
    if (focused || front) {
        focused = nullptr;
        front.reset();
        focusMoved = true;
    }
    if (!display)
        return;
    for (auto& [handle, window] : windows)
        zwlr_foreign_toplevel_handle_v1_destroy(handle);
    windows.clear();
    if (keyboard)
        zwp_virtual_keyboard_v1_destroy(keyboard);
    if (keyboards)
        zwp_virtual_keyboard_manager_v1_destroy(keyboards);
    if (toplevels)
        zwlr_foreign_toplevel_manager_v1_destroy(toplevels);
    if (seat)
        wl_seat_destroy(seat);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    keyboard = nullptr;
    keyboards = nullptr;
    toplevels = nullptr;
    seat = nullptr;
    registry = nullptr;
    display = nullptr;
    ending = false;
}

std::string WlrootsDesktop::State::shortfall() const {
    if (!toplevels)
        return std::string("The focused window can't be seen (the context reads \"Unknown\"; key "
                           "chords still reach it): the compositor lacks ") +
               zwlr_foreign_toplevel_manager_v1_interface.name;
    if (!keyboard)
        return std::string("Key chords can't be pressed (the focused window is still seen): the "
                           "compositor lacks ") +
               (keyboards ? wl_seat_interface.name
                          : zwp_virtual_keyboard_manager_v1_interface.name);
    return {};
}

void WlrootsDesktop::State::scheduleRetry() {
    if (retry.isActive())
        return;
    retry.start(retryIn);
    retryIn = std::min(retryIn * 2, kLastRetry);
}

// Reads what the compositor has sent within `wait` and dispatches it; false once the
// connection is broken.
bool WlrootsDesktop::State::pump(milliseconds wait) {
    while (wl_display_prepare_read(display) != 0)
        if (wl_display_dispatch_pending(display) < 0)
            return false;
    if (wl_display_flush(display) < 0 && errno != EAGAIN) {
        wl_display_cancel_read(display);
        return false;
    }
    pollfd fd{wl_display_get_fd(display), POLLIN, 0};
    int ready = 0;
    do
        ready = ::poll(&fd, 1, static_cast<int>(wait.count()));
    while (ready < 0 && errno == EINTR);
    if (ready > 0 && (fd.revents & POLLIN)) {
        if (wl_display_read_events(display) < 0)
            return false;
    } else {
        wl_display_cancel_read(display);
        if (ready > 0)
            return false; // hung up or failed with nothing left to read
    }
    return wl_display_dispatch_pending(display) >= 0 && wl_display_get_error(display) == 0;
}

bool WlrootsDesktop::State::roundtrip(milliseconds wait) {
    bool answered = false;
    static const wl_callback_listener kDone = {
        [](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }};
    wl_callback* callback = wl_display_sync(display);
    wl_callback_add_listener(callback, &kDone, &answered);
    const auto deadline = Clock::now() + wait;
    bool alive = true;
    while (alive && !answered) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        alive = pump(left);
    }
    wl_callback_destroy(callback);
    return answered;
}

void WlrootsDesktop::State::drain() {
    if (reading || !display)
        return;
    reading = true;
    const bool alive = pump(milliseconds(0)) && !ending;
    reading = false;
    if (!alive) {
        disconnect();
        scheduleRetry();
    }
    reportFocus();
}

void WlrootsDesktop::State::reportFocus() {
    // Outside libwayland's dispatch: a listener may ask for the front application again.
    if (std::exchange(focusMoved, false))
        owner->notifyFocusChange();
}

void WlrootsDesktop::State::uploadKeymap(const std::string& text) {
    const int fd = ::memfd_create("vantor-keymap", MFD_CLOEXEC);
    if (fd < 0)
        throw KeyInjectionError(std::string("Could not hold the keyboard map: ") +
                                std::strerror(errno));
    const std::size_t size = text.size() + 1; // the compositor reads a NUL-terminated string
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, text.c_str() + written, size - written);
        if (n <= 0) {
            ::close(fd);
            throw KeyInjectionError("Could not write the keyboard map");
        }
        written += static_cast<std::size_t>(n);
    }
    // libwayland sends a duplicate of the descriptor, so ours can go at once.
    zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   static_cast<uint32_t>(size));
    ::close(fd);
}

WlrootsDesktop::WlrootsDesktop() : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    s.owner = this;
    s.retry.setSingleShot(true);
    QObject::connect(&s.retry, &QTimer::timeout, [&s] {
        if (!s.display && !s.connect())
            s.scheduleRetry();
        s.reportFocus();
    });
    if (!s.connect())
        s.scheduleRetry();
}

WlrootsDesktop::~WlrootsDesktop() {
    m_state->disconnect();
}

std::optional<FrontApplication> WlrootsDesktop::frontApplication() {
    // Events already on the socket count here too, so a caller between two turns of the event
    // loop sees current state; this never waits.
    m_state->drain();
    return m_state->front;
}

void WlrootsDesktop::send(const KeyChord& chord) {
    State& s = *m_state;
    if (!s.display)
        throw KeyInjectionError("No wlroots compositor answers");
    if (!s.keyboard)
        throw KeyInjectionError(s.shortfall());
    const uint32_t key = s.keymap.keyFor(chord.keysym);
    if (const std::string text = s.keymap.takeChangedText(); !text.empty())
        s.uploadKeymap(text);
    const uint32_t mask = s.keymap.modifierMask(chord.modifiers);

    const auto started = Clock::now();
    const auto stamp = [&] {
        return static_cast<uint32_t>(
            std::chrono::duration_cast<milliseconds>(Clock::now() - started).count());
    };
    const auto step = [&] {
        wl_display_flush(s.display);
        std::this_thread::sleep_for(kKeyGap);
    };
    // Nothing between press and release can throw: the key never stays down.
    zwp_virtual_keyboard_v1_modifiers(s.keyboard, mask, 0, 0, 0);
    step();
    zwp_virtual_keyboard_v1_key(s.keyboard, stamp(), key, WL_KEYBOARD_KEY_STATE_PRESSED);
    step();
    zwp_virtual_keyboard_v1_key(s.keyboard, stamp(), key, WL_KEYBOARD_KEY_STATE_RELEASED);
    step();
    zwp_virtual_keyboard_v1_modifiers(s.keyboard, 0, 0, 0, 0);

    s.reading = true;
    const bool taken = s.roundtrip(kAnswerWait);
    const bool alive = wl_display_get_error(s.display) == 0;
    s.reading = false;
    if (!alive) {
        s.disconnect();
        s.scheduleRetry();
    }
    s.reportFocus();
    if (!taken)
        throw KeyInjectionError(alive ? "The Wayland compositor did not take the keys in time"
                                      : "The Wayland compositor went away");
}
