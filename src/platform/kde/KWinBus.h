#pragma once

#include <QDBusConnection>
#include <QVariant>
#include <optional>

// Bounded calls to KWin on the session bus. The agent never waits on the bus for longer than
// kTimeoutMs: a KWin that hangs must not freeze the agent's main thread.
namespace kwinbus {

inline constexpr int kTimeoutMs = 2000;
inline const QString kService = QStringLiteral("org.kde.KWin");

// A private connection to the session bus that DBUS_SESSION_BUS_ADDRESS names now (the shared
// one stays on whichever bus the process first saw). `prefix` names it in logs.
QDBusConnection connect(const QString& prefix);
void disconnect(QDBusConnection& bus);

// KWin's unique name on the bus; empty when KWin is not there or the bus does not answer.
QString owner(const QDBusConnection& bus);

// The process behind a connection on the bus (the bus daemon's word); 0 when it cannot tell.
qint64 ownerPid(const QDBusConnection& bus, const QString& uniqueName);

// Calls org.kde.kwin.Scripting.METHOD on /Scripting; the first return value, nothing on error.
std::optional<QVariant> scripting(const QDBusConnection& bus, const QString& method,
                                  const QVariantList& arguments);

// Starts a script loadScript returned: its object is /ID on Plasma 5, /Scripting/ScriptID on 6.
bool runScript(const QDBusConnection& bus, int id);

} // namespace kwinbus
