#include "KWinSession.h"

#include "DesktopSession.h"
#include "FakeInputKeys.h"
#include "KWinBus.h"
#include "KWinFocus.h"

namespace kwin {

bool probe() {
    QDBusConnection bus = kwinbus::connect(QStringLiteral("vantor-kwin-probe"));
    const bool there = !kwinbus::owner(bus).isEmpty();
    kwinbus::disconnect(bus);
    return there;
}

DesktopSession open() {
    DesktopSession session;
    session.backend = DesktopBackend::Kde;
    session.front = std::make_shared<KWinFocusSource>();
    auto keys = std::make_shared<FakeInputKeys>();
    session.description = QStringLiteral("KDE Plasma (KWin script for the focused window, fake "
                                         "input for keys)");
    // Told once at start: the context keeps working without keys.
    if (const QString refusal = keys->refusal(); !refusal.isEmpty())
        session.description += QStringLiteral("; keys not available now: ") + refusal;
    session.keys = std::move(keys);
    return session;
}

} // namespace kwin
