#include "KWinBus.h"

#include <QDBusMessage>
#include <atomic>

namespace kwinbus {

namespace {

QDBusMessage call(const QDBusConnection& bus, QDBusMessage message) {
    return bus.call(message, QDBus::Block, kTimeoutMs);
}

} // namespace

QDBusConnection connect(const QString& prefix) {
    static std::atomic<int> serial = 0;
    const QString name = prefix + QLatin1Char('-') + QString::number(++serial);
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    return address.isEmpty() ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, name)
                             : QDBusConnection::connectToBus(address, name);
}

void disconnect(QDBusConnection& bus) {
    const QString name = bus.name();
    bus = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(name);
}

QString owner(const QDBusConnection& bus) {
    if (!bus.isConnected())
        return {};
    auto message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetNameOwner"));
    message << kService;
    const QDBusMessage reply = call(bus, message);
    return reply.type() == QDBusMessage::ReplyMessage ? reply.arguments().value(0).toString()
                                                      : QString();
}

qint64 ownerPid(const QDBusConnection& bus, const QString& uniqueName) {
    auto message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"));
    message << uniqueName;
    const QDBusMessage reply = call(bus, message);
    return reply.type() == QDBusMessage::ReplyMessage ? reply.arguments().value(0).toLongLong() : 0;
}

std::optional<QVariant> scripting(const QDBusConnection& bus, const QString& method,
                                  const QVariantList& arguments) {
    auto message = QDBusMessage::createMethodCall(kService, QStringLiteral("/Scripting"),
                                                  QStringLiteral("org.kde.kwin.Scripting"), method);
    message.setArguments(arguments);
    const QDBusMessage reply = call(bus, message);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return std::nullopt;
    return reply.arguments().value(0);
}

bool runScript(const QDBusConnection& bus, int id) {
    for (const QString& path :
         {QStringLiteral("/%1").arg(id), QStringLiteral("/Scripting/Script%1").arg(id)}) {
        const auto message = QDBusMessage::createMethodCall(
            kService, path, QStringLiteral("org.kde.kwin.Script"), QStringLiteral("run"));
        if (call(bus, message).type() == QDBusMessage::ReplyMessage)
            return true;
    }
    return false;
}

} // namespace kwinbus
