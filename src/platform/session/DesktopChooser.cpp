#include "DesktopChooser.h"

#include "GnomeSession.h"
#include "KWinSession.h"
#include "WlrootsSession.h"
#include "X11Session.h"

#include <QStringList>
#include <algorithm>

namespace {

bool always() {
    return true;
}

// Each family once: the name VANTOR_DESKTOP gives it, its probe and how it opens.
struct Family {
    DesktopBackend backend;
    const char* name;
    bool (*probe)();
    DesktopSession (*open)();
};
constexpr Family kFamilies[] = {
    {DesktopBackend::X11, "x11", always, x11::open},
    {DesktopBackend::Wlroots, "wlroots", wlroots::probe, wlroots::open},
    {DesktopBackend::Kde, "kde", kwin::probe, kwin::open},
    {DesktopBackend::Gnome, "gnome", gnome::probe, gnome::open},
};

const Family& family(DesktopBackend backend) {
    return *std::find_if(std::begin(kFamilies), std::end(kFamilies),
                         [&](const Family& f) { return f.backend == backend; });
}

std::optional<DesktopBackend> backendNamed(const QString& name) {
    const QString key = name.trimmed().toLower();
    for (const Family& f : kFamilies)
        if (key == QLatin1String(f.name))
            return f.backend;
    return std::nullopt;
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
        return family(order.front()).open();
    for (const DesktopBackend backend : order)
        if (backend != DesktopBackend::X11 && family(backend).probe())
            return family(backend).open();
    DesktopSession session = x11::open();
    if (order.size() > 1)
        session.description = QStringLiteral("X11 on a Wayland session: no supported Wayland "
                                             "desktop answered, so only Xwayland windows will be "
                                             "seen and only they receive key chords");
    return session;
}
