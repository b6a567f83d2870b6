#include "LoginItem.h"

#include "AgentError.h"
#include "DesktopEntry.h"
#include "XdgDirs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace LoginItem {

QString entryPath() {
    return QString::fromStdString(xdg::configHome()) +
           QStringLiteral("/autostart/vantor-companion.desktop");
}

int status() {
    const auto entry = DesktopEntry::load(QFile::encodeName(entryPath()).toStdString());
    return entry && entry->hasGroup("Desktop Entry") && !entry->boolean("Hidden") ? 1 : 0;
}

void registerItem(const QString& executable) {
    const QString path = entryPath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        throw SystemError(
            QStringLiteral("Could not create %1").arg(QFileInfo(path).absolutePath()));
    // Exec quoting: a path with spaces or quotes stays one argument.
    QString quoted = executable;
    for (const char* special : {"\\", "\"", "`", "$"})
        quoted.replace(QLatin1String(special), QLatin1String("\\") + QLatin1String(special));
    quoted.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw SystemError(QStringLiteral("Could not write %1: %2").arg(path, file.errorString()));
    file.write("[Desktop Entry]\nType=Application\nName=Keyloft Companion\n");
    file.write("Comment=Lets the Keyloft console control this computer\n");
    file.write("Exec=\"" + quoted.toUtf8() + "\"\n");
    file.write("Icon=vantor-companion\nTerminal=false\nX-GNOME-Autostart-enabled=true\n");
    if (!file.commit())
        throw SystemError(QStringLiteral("Could not write %1: %2").arg(path, file.errorString()));
}

void unregisterItem() {
    const QString path = entryPath();
    QFile file(path);
    if (file.exists() && !file.remove())
        throw SystemError(QStringLiteral("Could not remove %1: %2").arg(path, file.errorString()));
}

} // namespace LoginItem
