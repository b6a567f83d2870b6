#pragma once

#include "XDisplay.h"

#include <optional>
#include <string>

class DesktopIndex;
struct IndexedApp;

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
