#include "AgentCore.h"
#include "AgentError.h"

#include <QJsonObject>
#include <QJsonValue>

// The dispatcher arrives with its own change; until then every action is refused.

const QStringList& AgentCore::allowedActionTypes() {
    static const QStringList types{QStringLiteral("launch"), QStringLiteral("url"),
                                   QStringLiteral("shortcut"), QStringLiteral("workflow"),
                                   QStringLiteral("system")};
    return types;
}

QString AgentCore::executeAction(const QJsonObject&, int) {
    throw AgentError::invalid(QStringLiteral("Unsupported action type"));
}

QString AgentCore::safeText(const QJsonValue&, const QString& field) {
    throw AgentError::invalid(field + QStringLiteral(" must be text"));
}

QString AgentCore::safeUrl(const QJsonValue&) {
    throw AgentError::invalid(QStringLiteral("URL must be text"));
}
