#include "AudioDevices.h"

#include "AgentError.h"

#include <algorithm>

namespace AudioDevices {

std::vector<DeviceId> deviceList(AudioBackend& backend, Scope scope) {
    const auto all = backend.devices(scope);
    if (!all)
        throw AgentError::invalid(QStringLiteral("Could not list audio devices"));
    std::vector<DeviceId> devices;
    for (const DeviceId device : *all)
        if (backend.hasStreams(scope, device).value_or(false))
            devices.push_back(device);
    return devices;
}

DeviceId defaultDevice(AudioBackend& backend, Scope scope) {
    const auto device = backend.defaultDevice(scope);
    if (!device)
        throw AgentError::invalid(QStringLiteral("Could not read the default device"));
    return *device;
}

std::optional<QString> name(AudioBackend& backend, Scope scope, DeviceId device) {
    const auto text = backend.name(scope, device);
    if (!text)
        return std::nullopt;
    return QString::fromStdString(*text);
}

QString cycleDefault(AudioBackend& backend, Scope scope) {
    const std::vector<DeviceId> devices = deviceList(backend, scope);
    if (devices.empty())
        throw AgentError::invalid(QStringLiteral("No audio devices found"));
    if (devices.size() == 1)
        return QStringLiteral("only one device: ") +
               name(backend, scope, devices.front()).value_or(QStringLiteral("unknown"));

    DeviceId current = devices.front();
    try {
        current = defaultDevice(backend, scope);
    } catch (const AgentError&) {
        // An unreadable default counts as the first device: the walk still moves on.
    }

    const auto found = std::find(devices.begin(), devices.end(), current);
    const long long n = static_cast<long long>(devices.size());
    const long long position = found == devices.end() ? -1 : found - devices.begin();
    for (long long k = 1; k <= n; ++k) {
        const DeviceId candidate = devices[static_cast<size_t>((position + k + n) % n)];
        if (candidate == current)
            break;
        if (!backend.requestDefault(scope, candidate))
            throw AgentError::invalid(QStringLiteral("Could not switch the default device"));
        if (backend.defaultDevice(scope) == candidate) {
            backend.moveStreams(scope, candidate);
            return name(backend, scope, candidate)
                .value_or(QStringLiteral("device ") + QString::number(candidate));
        }
    }
    return QStringLiteral("no other switchable device (") +
           name(backend, scope, current).value_or(QStringLiteral("current")) +
           QStringLiteral(" kept)");
}

} // namespace AudioDevices
