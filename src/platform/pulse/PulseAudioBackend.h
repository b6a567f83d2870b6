#pragma once

#include "AudioBackend.h"

#include <memory>

namespace pulse {
class PulseAudio;
}

// The audio devices of a PulseAudio (or PipeWire pulse) server: output devices are the sinks,
// input devices the sources that are not monitors of a sink, identifiers are the server's
// indexes, a device's name is its description. Keeps one connection and reconnects after the
// server went away; every call is bounded in time.
class PulseAudioBackend final : public AudioBackend {
public:
    PulseAudioBackend();
    ~PulseAudioBackend() override;

    std::optional<std::vector<DeviceId>> devices(AudioScope scope) override;
    std::optional<bool> hasStreams(AudioScope scope, DeviceId device) override;
    std::optional<DeviceId> defaultDevice(AudioScope scope) override;
    bool requestDefault(AudioScope scope, DeviceId device) override;
    std::optional<std::string> name(AudioScope scope, DeviceId device) override;
    void moveStreams(AudioScope scope, DeviceId device) override;

private:
    std::unique_ptr<pulse::PulseAudio> m_pulse;
};
