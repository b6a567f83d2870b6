#pragma once

struct DesktopSession;

namespace x11 {

// The session backend for an X11 desktop, and the fallback of a Wayland session (Xwayland
// windows only). Needs no probe: the connection is opened on the first sample.
DesktopSession open();

} // namespace x11
