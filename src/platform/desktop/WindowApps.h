#pragma once

#include <optional>
#include <string>

class DesktopIndex;
struct IndexedApp;

// What a window tells about the program behind it. X11 fills it from the window's properties;
// the Wayland desktops put their application id where the matcher looks for one.
struct WindowIdentity {
    std::string gtkApplicationId; // _GTK_APPLICATION_ID, or the desktop's own desktop id
    std::string wmInstance;       // WM_CLASS, first string (Wayland: app_id)
    std::string wmClass;          // WM_CLASS, second string (Wayland: app_id or resource class)
    unsigned pid = 0;             // _NET_WM_PID, 0 when unknown
};

// The desktop entry of the application that owns a window, tried in this order: its
// _GTK_APPLICATION_ID as a desktop id, an entry whose StartupWMClass is the WM_CLASS class or
// instance, a desktop id equal to the WM_CLASS instance or class (ignoring case), and an entry
// whose Exec program is what /proc/PID/exe points at. Nothing when none fits.
const IndexedApp* desktopEntryForWindow(DesktopIndex& index, const WindowIdentity& window);

// The name and identifier the agent reports for a window: the entry's Name and its desktop id
// without ".desktop", else the WM_CLASS class and instance. Either may be absent.
struct WindowApp {
    std::optional<std::string> name;
    std::optional<std::string> identifier;
};
WindowApp windowApp(DesktopIndex& index, const WindowIdentity& window);
