#include "AgentCore.h"

#include <QByteArray>

// The cloud link arrives with its own change; until then a paired core stays silent.

void AgentCore::cloudRequest(const QString&, const QString&, const std::optional<QByteArray>&,
                             CloudCompletion) {}

void AgentCore::syncCloudContext(const AgentContext&, bool) {}

void AgentCore::recordCloudResult(std::exception_ptr) {}

void AgentCore::pollCloudActions() {}
