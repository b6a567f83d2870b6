#pragma once

#include <QString>

// The console's origin (https, no path, no trailing "/"), fixed when the agent is built.
inline QString defaultConsoleUrl() {
    return QStringLiteral(VANTOR_DEFAULT_CONSOLE_URL);
}
