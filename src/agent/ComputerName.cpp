#include "ComputerName.h"

#include "Text.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QSysInfo>

namespace {

// One value of an environment-style line, as a shell would read it: quotes removed, backslash
// escapes resolved inside double quotes and outside quotes.
QByteArray unquoted(const QByteArray& raw) {
    QByteArray value;
    char quote = 0;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const char c = raw.at(i);
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                value.append(c);
        } else if (c == '\\' && i + 1 < raw.size()) {
            value.append(raw.at(++i));
        } else if (c == '"' || (c == '\'' && quote == 0)) {
            quote = quote == c ? 0 : c;
        } else {
            value.append(c);
        }
    }
    return value;
}

} // namespace

QString prettyHostname(const QByteArray& machineInfo) {
    QString name;
    for (const QByteArray& line : machineInfo.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.startsWith("PRETTY_HOSTNAME="))
            name = decodeUtf8OrEmpty(unquoted(trimmed.mid(16))); // the last assignment wins
    }
    return name;
}

QString computerName(const QString& machineInfoPath) {
    QFile file(machineInfoPath);
    if (file.open(QIODevice::ReadOnly)) {
        const QString pretty = prettyHostname(file.read(64 * 1024));
        if (!pretty.isEmpty())
            return pretty;
    }
    return QSysInfo::machineHostName();
}
