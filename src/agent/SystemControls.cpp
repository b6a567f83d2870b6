#include "SystemControls.h"

#include <QStringList>

namespace {

QString lines(const QStringList& list) {
    return list.join(QLatin1Char('\n'));
}

} // namespace

const QHash<QString, QString>& systemVerbScripts() {
    static const QHash<QString, QString> scripts{
        {QStringLiteral("mute-toggle"),
         QStringLiteral("set volume output muted not (output muted of (get volume settings))")},
        {QStringLiteral("volume-up"),
         lines({QStringLiteral("set current to output volume of (get volume settings)"),
                QStringLiteral("set target to current + 7"),
                QStringLiteral("if target > 100 then set target to 100"),
                QStringLiteral("set volume output volume target")})},
        {QStringLiteral("volume-down"),
         lines({QStringLiteral("set current to output volume of (get volume settings)"),
                QStringLiteral("set target to current - 7"),
                QStringLiteral("if target < 0 then set target to 0"),
                QStringLiteral("set volume output volume target")})},
        {QStringLiteral("quit-apps"),
         lines({QStringLiteral("tell application \"System Events\""),
                QStringLiteral(
                    "  set appNames to name of every application process whose visible is true"),
                QStringLiteral("end tell"), QStringLiteral("repeat with appName in appNames"),
                QStringLiteral("  set theName to appName as text"),
                QStringLiteral("  if theName is not \"Finder\" and theName is not \"Vantor "
                               "Companion\" and theName is not \"Keyloft Companion\" then"),
                QStringLiteral("    try"), QStringLiteral("      tell application theName to quit"),
                QStringLiteral("    end try"), QStringLiteral("  end if"),
                QStringLiteral("end repeat"),
                QStringLiteral("return \"asked visible apps to quit\"")})},
    };
    return scripts;
}
