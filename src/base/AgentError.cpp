#include "AgentError.h"

QString errorDescription(const std::exception& error) {
    if (const auto* agent = dynamic_cast<const AgentError*>(&error))
        return agent->message();
    if (const auto* system = dynamic_cast<const SystemError*>(&error))
        return system->description();
    return QString::fromUtf8(error.what());
}
