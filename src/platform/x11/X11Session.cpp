#include "X11Session.h"

#include "DesktopSession.h"
#include "X11FrontApplication.h"

namespace x11 {

DesktopSession open() {
    DesktopSession session;
    session.front = std::make_shared<X11FrontApplicationSource>();
    session.description = QStringLiteral("X11");
    return session;
}

} // namespace x11
