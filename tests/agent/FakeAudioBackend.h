#pragma once

#include "AudioBackend.h"

#include <map>
#include <set>

// Audio devices in memory, for what a real server cannot be made to do: refuse a switch, accept
// one that then does not take effect, fail to read its default. One scope is modelled; both
// scopes see the same devices.
class FakeAudioBackend final : public AudioBackend {
public:
    std::vector<DeviceId> all; // what the list returns, in order
    std::set<DeviceId> silent; // devices without streams in the direction
    std::map<DeviceId, std::string> names;
    std::optional<DeviceId> current; // the default
    bool listFails = false;
    bool defaultFails = false;
    std::set<DeviceId> refused;      // requests the layer refuses
    std::set<DeviceId> ignored;      // requests accepted that do not take effect
    std::vector<DeviceId> requested; // every request, in order
    std::vector<DeviceId> followed;  // every moveStreams target, in order

    // clang-format off
    std::optional<std::vector<DeviceId>> devices(AudioScope) override { return listFails ? std::nullopt : std::optional(all); }
    std::optional<bool> hasStreams(AudioScope, DeviceId device) override { return !silent.contains(device); }
    std::optional<DeviceId> defaultDevice(AudioScope) override { return defaultFails ? std::nullopt : current; }
    void moveStreams(AudioScope, DeviceId device) override { followed.push_back(device); }
    // clang-format on
    bool requestDefault(AudioScope, DeviceId device) override {
        requested.push_back(device);
        if (!ignored.contains(device) && !refused.contains(device))
            current = device;
        return !refused.contains(device);
    }
    std::optional<std::string> name(AudioScope, DeviceId device) override {
        const auto found = names.find(device);
        return found == names.end() ? std::nullopt : std::optional(found->second);
    }
};
