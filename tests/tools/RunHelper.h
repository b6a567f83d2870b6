#pragma once

#include "AgentError.h"
#include "RunProcess.h"

#include <QStringList>

// What one of our helper programs prints, or why it refused.
inline QString runHelper(const char* program, const QStringList& arguments) {
    try {
        return runProcess(QStringLiteral(VANTOR_RUNTIME_DIR "/") + QLatin1String(program),
                          arguments);
    } catch (const AgentError& error) {
        return QStringLiteral("refused: ") + error.message();
    }
}
