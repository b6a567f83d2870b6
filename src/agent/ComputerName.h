#pragma once

#include <QString>

class QByteArray;

// The computer's user-visible name: PRETTY_HOSTNAME of the machine-info file when it is set and
// not empty, else the network host name. Read on every call, so a rename shows at once.
QString computerName(const QString& machineInfoPath = QStringLiteral("/etc/machine-info"));

// PRETTY_HOSTNAME of a machine-info text (environment-style assignments, values optionally
// quoted with "" or '' and backslash escapes); the empty text when it is not set.
QString prettyHostname(const QByteArray& machineInfo);
