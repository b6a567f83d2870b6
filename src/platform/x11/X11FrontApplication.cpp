#include "X11FrontApplication.h"

#include "DesktopIndex.h"
#include "FrontWindow.h"
#include "XDisplay.h"

#include <QSocketNotifier>
#include <cstdlib>

namespace {

constexpr uint32_t kWatchedWindowEvents =
    XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;

void selectEvents(xcb_connection_t* c, xcb_window_t window, uint32_t mask) {
    xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, &mask);
}

} // namespace

struct X11FrontApplicationSource::State {
    X11FrontApplicationSource* owner = nullptr;
    XDisplay display;
    DesktopIndex index;
    std::unique_ptr<QSocketNotifier> notifier;
    xcb_window_t watched = XCB_NONE;
    std::optional<FrontApplication> front;

    bool connect();
    void disconnect();
    void drain();
    void readActiveWindow();
    void readTitle();
};

bool X11FrontApplicationSource::State::connect() {
    if (notifier && !xcb_connection_has_error(display.connection()))
        return true;
    disconnect();
    if (!display.open() || !display.hasWindowManager())
        return false;
    xcb_connection_t* c = display.connection();
    selectEvents(c, display.root(), XCB_EVENT_MASK_PROPERTY_CHANGE);
    notifier = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(c), QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { drain(); });
    readActiveWindow();
    return true;
}

void X11FrontApplicationSource::State::disconnect() {
    notifier.reset();
    watched = XCB_NONE;
    if (front) {
        front.reset();
        owner->notifyFocusChange();
    }
}

void X11FrontApplicationSource::State::drain() {
    xcb_connection_t* c = display.connection();
    bool activeChanged = false;
    bool titleChanged = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
        switch (event->response_type & 0x7f) {
        case XCB_PROPERTY_NOTIFY: {
            const auto* property = reinterpret_cast<xcb_property_notify_event_t*>(event);
            if (property->window == display.root())
                activeChanged =
                    activeChanged || property->atom == display.ewmh()->_NET_ACTIVE_WINDOW;
            else if (property->window == watched)
                titleChanged = titleChanged || property->atom == display.ewmh()->_NET_WM_NAME ||
                               property->atom == XCB_ATOM_WM_NAME;
            break;
        }
        case XCB_UNMAP_NOTIFY:
        case XCB_DESTROY_NOTIFY:
            // A window manager may leave _NET_ACTIVE_WINDOW naming a window that is gone.
            activeChanged = true;
            break;
        default:
            break; // errors about a window that vanished meanwhile are expected
        }
        std::free(event);
    }
    if (xcb_connection_has_error(c)) {
        disconnect();
        return;
    }
    if (activeChanged)
        readActiveWindow();
    else if (titleChanged)
        readTitle();
}

void X11FrontApplicationSource::State::readActiveWindow() {
    xcb_connection_t* c = display.connection();
    const auto active = display.activeWindow();
    const xcb_window_t window = active.value_or(XCB_NONE);
    std::optional<FrontApplication> now;
    if (window != XCB_NONE) {
        const auto identity = display.identity(window);
        const auto title = display.title(window);
        if (identity && title)
            now = describeWindow(index, *identity, *title);
    }
    const xcb_window_t previous = watched;
    if (window != watched) {
        if (watched != XCB_NONE)
            selectEvents(c, watched, 0);
        if (now)
            selectEvents(c, window, kWatchedWindowEvents);
        watched = now ? window : XCB_NONE;
    }
    xcb_flush(c);
    const bool moved = watched != previous || now.has_value() != front.has_value();
    front = std::move(now);
    if (moved)
        owner->notifyFocusChange();
}

void X11FrontApplicationSource::State::readTitle() {
    if (!front || watched == XCB_NONE)
        return;
    if (const auto title = display.title(watched))
        front->title = windowTitleText(*title);
    else
        readActiveWindow(); // the window went away between the event and the read
}

X11FrontApplicationSource::X11FrontApplicationSource() : m_state(std::make_unique<State>()) {
    m_state->owner = this;
}

X11FrontApplicationSource::~X11FrontApplicationSource() = default;

std::optional<FrontApplication> X11FrontApplicationSource::frontApplication() {
    State& s = *m_state;
    if (!s.connect())
        return std::nullopt;
    // Events already on the socket are taken here too, so a caller without a running event loop
    // sees the same state; this reads only what has arrived and never waits.
    s.drain();
    return s.front;
}
