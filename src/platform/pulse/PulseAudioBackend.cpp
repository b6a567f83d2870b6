#include "PulseAudioBackend.h"

#include "PulseAudio.h"

// The audio logic above reads failures as "nothing" and turns them into its own messages, so
// each server failure ends here.

namespace {

pulse::DeviceKind kindOf(AudioScope scope) {
    return scope == AudioScope::Output ? pulse::DeviceKind::Sink : pulse::DeviceKind::Source;
}

} // namespace

PulseAudioBackend::PulseAudioBackend() : m_pulse(std::make_unique<pulse::PulseAudio>()) {}

PulseAudioBackend::~PulseAudioBackend() = default;

std::optional<std::vector<AudioBackend::DeviceId>> PulseAudioBackend::devices(AudioScope scope) {
    try {
        std::vector<DeviceId> ids;
        for (const pulse::Device& device : m_pulse->devices(kindOf(scope)))
            ids.push_back(device.index);
        return ids;
    } catch (const pulse::PulseError&) {
        return std::nullopt;
    }
}

std::optional<bool> PulseAudioBackend::hasStreams(AudioScope scope, DeviceId id) {
    try {
        const auto device = m_pulse->device(kindOf(scope), id);
        if (!device)
            return std::nullopt;
        return !device->monitor;
    } catch (const pulse::PulseError&) {
        return std::nullopt;
    }
}

std::optional<AudioBackend::DeviceId> PulseAudioBackend::defaultDevice(AudioScope scope) {
    try {
        return m_pulse->defaultDevice(kindOf(scope)).index;
    } catch (const pulse::PulseError&) {
        return std::nullopt;
    }
}

bool PulseAudioBackend::requestDefault(AudioScope scope, DeviceId id) {
    try {
        const auto device = m_pulse->device(kindOf(scope), id);
        if (!device)
            return false;
        if (scope == AudioScope::Output)
            m_pulse->keepMonitorRecordings();
        // Whether the server took it shows in the read-back that follows: a server that kept its
        // own default has accepted the request all the same.
        m_pulse->setDefaultDevice(kindOf(scope), device->name);
        return true;
    } catch (const pulse::PulseError&) {
        return false;
    }
}

std::optional<std::string> PulseAudioBackend::name(AudioScope scope, DeviceId id) {
    try {
        const auto device = m_pulse->device(kindOf(scope), id);
        if (!device || device->description.empty())
            return std::nullopt;
        return device->description;
    } catch (const pulse::PulseError&) {
        return std::nullopt;
    }
}

void PulseAudioBackend::moveStreams(AudioScope scope, DeviceId id) {
    try {
        m_pulse->moveStreamsTo(kindOf(scope), id);
    } catch (const pulse::PulseError&) {
        // The default has changed; streams that did not follow stay audible where they were.
    }
}
