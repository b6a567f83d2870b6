#pragma once

struct DesktopSession;

namespace wlroots {

// Whether this desktop family runs here and answers; bounded, main thread.
bool probe();

// The session backend for this desktop; it keeps trying to reach the desktop when it is not
// there yet or goes away.
DesktopSession open();

} // namespace wlroots
