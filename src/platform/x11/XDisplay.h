#pragma once

#include "WindowApps.h"

#include <optional>
#include <string>
#include <vector>
#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

// One connection to the X server named by DISPLAY, with the EWMH atoms. `open` connects (again)
// when there is no connection or the server went away; every query treats a vanished window
// (BadWindow) as an absent answer. Not thread-safe; plain C++ so the helpers link it.
class XDisplay {
public:
    XDisplay() = default;
    ~XDisplay();
    XDisplay(const XDisplay&) = delete;
    XDisplay& operator=(const XDisplay&) = delete;

    // True when connected; on failure `error()` says why.
    bool open();
    const std::string& error() const { return m_error; }

    xcb_connection_t* connection() const { return m_connection; }
    xcb_ewmh_connection_t* ewmh() { return &m_ewmh; }
    xcb_window_t root() const { return m_root; }

    // Whether a window manager announces itself (_NET_SUPPORTING_WM_CHECK).
    bool hasWindowManager();
    // The EWMH active window; nothing without a window manager or when no window is active.
    std::optional<xcb_window_t> activeWindow();
    // The managed client windows, in mapping order.
    std::vector<xcb_window_t> clientList();

    // All identity properties in one round trip; nothing when the window is gone.
    std::optional<WindowIdentity> identity(xcb_window_t window);
    // _NET_WM_NAME, else WM_NAME converted to UTF-8; empty when the window has neither; nothing
    // when the window is gone.
    std::optional<std::string> title(xcb_window_t window);
    // Mapped, not hidden or minimised, and a normal (or untyped) top-level window.
    bool isVisibleNormal(xcb_window_t window);

    // Asks the window manager to close the window, as its close button would.
    void requestClose(xcb_window_t window);
    // Waits until the server has handled every request sent so far; false when it went away.
    bool sync();

private:
    void close();
    xcb_atom_t atom(const char* name);

    xcb_connection_t* m_connection = nullptr;
    xcb_ewmh_connection_t m_ewmh{};
    bool m_ewmhReady = false;
    xcb_window_t m_root = XCB_NONE;
    int m_screen = 0;
    xcb_atom_t m_gtkApplicationId = XCB_NONE;
    xcb_atom_t m_compoundText = XCB_NONE;
    bool m_hasRes = false; // the X-Resource extension, which tells a window's process
    std::string m_error;
};

// Converts a COMPOUND_TEXT property value to UTF-8 (through Xlib's converters); empty when it
// cannot be converted.
std::string compoundTextToUtf8(const std::string& displayName, const std::string& bytes);
