#include "GnomeSession.h"

#include "DesktopSession.h"
#include "GnomeShell.h"

#include <QDBusConnection>
#include <QDBusMessage>

namespace gnome {

bool probe() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << QStringLiteral("org.gnome.Shell");
    const QDBusMessage reply = bus.call(ask, QDBus::Block, 2000);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().constFirst().toBool();
}

DesktopSession open() {
    DesktopSession session;
    session.backend = DesktopBackend::Gnome;
    session.problem = std::make_shared<DesktopProblem>();
    auto link = std::make_shared<ShellLink>(session.problem);
    session.front = link;
    session.keys = link;
    session.menu = link;
    session.description = QStringLiteral("GNOME on Wayland, through the %1 Shell extension")
                              .arg(QLatin1String(kExtensionUuid));
    return session;
}

} // namespace gnome
