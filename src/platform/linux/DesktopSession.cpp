#include "DesktopSession.h"

#include "FrontApplication.h"
#include "GnomeSession.h"
#include "KWinSession.h"
#include "KeySender.h"
#include "WlrootsSession.h"
#include "X11FrontApplication.h"

#include <QStringList>
#include <algorithm>

namespace {

std::optional<DesktopBackend> backendNamed(const QString& name) {
    const QString key = name.trimmed().toLower();
    if (key == QLatin1String("x11"))
        return DesktopBackend::X11;
    if (key == QLatin1String("wlroots"))
        return DesktopBackend::Wlroots;
    if (key == QLatin1String("kde"))
        return DesktopBackend::Kde;
    if (key == QLatin1String("gnome"))
        return DesktopBackend::Gnome;
    return std::nullopt;
}

bool probe(DesktopBackend backend) {
    switch (backend) {
    case DesktopBackend::Wlroots:
        return wlroots::probe();
    case DesktopBackend::Kde:
        return kwin::probe();
    case DesktopBackend::Gnome:
        return gnome::probe();
    case DesktopBackend::X11:
        break;
    }
    return true;
}

DesktopSession open(DesktopBackend backend) {
    switch (backend) {
    case DesktopBackend::Wlroots:
        return wlroots::open();
    case DesktopBackend::Kde:
        return kwin::open();
    case DesktopBackend::Gnome:
        return gnome::open();
    case DesktopBackend::X11:
        break;
    }
    DesktopSession session;
    session.front = std::make_shared<X11FrontApplicationSource>();
    session.description = QStringLiteral("X11");
    return session;
}

} // namespace

SessionHints SessionHints::fromEnvironment() {
    SessionHints hints;
    hints.forced = qEnvironmentVariable("VANTOR_DESKTOP");
    hints.sessionType = qEnvironmentVariable("XDG_SESSION_TYPE");
    hints.currentDesktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
    hints.waylandDisplay = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    return hints;
}

std::vector<DesktopBackend> backendOrder(const SessionHints& hints) {
    if (const auto forced = backendNamed(hints.forced))
        return {*forced};
    const bool wayland =
        hints.sessionType.compare(QLatin1String("wayland"), Qt::CaseInsensitive) == 0 ||
        hints.waylandDisplay;
    if (!wayland)
        return {DesktopBackend::X11};

    std::vector<DesktopBackend> order;
    const QStringList desktops = hints.currentDesktop.toLower().split(QLatin1Char(':'));
    if (desktops.contains(QLatin1String("kde")))
        order.push_back(DesktopBackend::Kde);
    if (desktops.contains(QLatin1String("gnome")))
        order.push_back(DesktopBackend::Gnome);
    for (const DesktopBackend backend :
         {DesktopBackend::Wlroots, DesktopBackend::Kde, DesktopBackend::Gnome})
        if (std::find(order.begin(), order.end(), backend) == order.end())
            order.push_back(backend);
    order.push_back(DesktopBackend::X11);
    return order;
}

DesktopSession openDesktopSession(const SessionHints& hints) {
    const std::vector<DesktopBackend> order = backendOrder(hints);
    // A forced backend is taken without asking: it keeps trying to reach its desktop itself.
    if (order.size() == 1)
        return open(order.front());
    for (const DesktopBackend backend : order)
        if (backend != DesktopBackend::X11 && probe(backend))
            return open(backend);
    DesktopSession session = open(DesktopBackend::X11);
    if (order.size() > 1)
        session.description = QStringLiteral("X11 on a Wayland session: no supported Wayland "
                                             "desktop answered, so only Xwayland windows will be "
                                             "seen and only they receive key chords");
    return session;
}
