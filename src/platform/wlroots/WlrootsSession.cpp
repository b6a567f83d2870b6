#include "WlrootsSession.h"

#include "DesktopSession.h"
#include "WlrootsDesktop.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#include <chrono>
#include <cstring>
#include <poll.h>
#include <wayland-client.h>

namespace wlroots {

namespace {

constexpr std::chrono::milliseconds kProbeWait{500};

} // namespace

bool probe() {
    wl_display* display = wl_display_connect(nullptr);
    if (!display)
        return false;
    bool found = false;
    bool answered = false;
    static const wl_registry_listener kRegistry = {
        // Either protocol alone makes the backend useful (cage offers only the keyboard).
        [](void* data, wl_registry*, uint32_t, const char* interface, uint32_t) {
            if (std::strcmp(interface, zwlr_foreign_toplevel_manager_v1_interface.name) == 0 ||
                std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0)
                *static_cast<bool*>(data) = true;
        },
        [](void*, wl_registry*, uint32_t) {},
    };
    static const wl_callback_listener kDone = {
        [](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }};
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kRegistry, &found);
    wl_callback* callback = wl_display_sync(display);
    wl_callback_add_listener(callback, &kDone, &answered);
    // A compositor that accepts the connection but never answers must not hold up the start.
    const auto deadline = std::chrono::steady_clock::now() + kProbeWait;
    while (!answered && wl_display_flush(display) >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd fd{wl_display_get_fd(display), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0 ||
            wl_display_dispatch(display) < 0)
            break;
    }
    wl_callback_destroy(callback);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return answered && found;
}

DesktopSession open() {
    auto desktop = std::make_shared<WlrootsDesktop>();
    DesktopSession session;
    session.backend = DesktopBackend::Wlroots;
    session.front = desktop;
    session.keys = desktop;
    session.description = QStringLiteral("wlroots Wayland compositor (foreign toplevels, virtual "
                                         "keyboard)");
    return session;
}

} // namespace wlroots
