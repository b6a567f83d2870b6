#include "HelperPrograms.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString executableDir() {
    // /proc/self/exe works before (and without) a QCoreApplication.
    return QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath())
        .absolutePath();
}

} // namespace

QString helperProgramPath(const QString& name) {
    const QString dir = executableDir();
    const QString beside = dir + QLatin1Char('/') + name;
    if (QFileInfo(beside).isExecutable())
        return beside;
    const QString libexec =
        QDir::cleanPath(dir + QStringLiteral("/../libexec/vantor-companion/") + name);
    if (QFileInfo(libexec).isExecutable())
        return libexec;
    return beside;
}
