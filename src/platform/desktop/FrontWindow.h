#pragma once

#include "FrontApplication.h"

#include <string_view>

class DesktopIndex;
struct WindowIdentity;

// The longest window title a desktop backend keeps, in UTF-8 bytes: a 1 MB title would
// otherwise travel with every context upload and event frame.
inline constexpr std::size_t kMaxTitleBytes = 8192;

// A title as the desktop sent it (UTF-8, possibly invalid or huge): cut to kMaxTitleBytes at a
// character boundary, invalid sequences replaced.
QString windowTitleText(std::string_view utf8);

// What the agent reports for a focused window: its desktop entry's Name and desktop id (by the
// shared matcher), its title and pid. Every desktop backend describes its windows through this.
FrontApplication describeWindow(DesktopIndex& index, const WindowIdentity& window,
                                std::string_view title);
