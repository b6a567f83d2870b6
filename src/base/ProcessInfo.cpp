#include "ProcessInfo.h"

#include <QFile>

QString programOf(qint64 pid) {
    QString path = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
    if (path.endsWith(QLatin1String(" (deleted)")))
        path.chop(10);
    return path;
}

qint64 parentOf(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.read(4096);
    // The command name may hold spaces and parentheses; the fields after the last ')' do not.
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0)
        return 0;
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() : 0;
}
