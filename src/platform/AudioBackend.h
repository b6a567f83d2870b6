#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The two directions of audio devices.
enum class AudioScope { Input, Output };

// The audio layer as the default-device switch needs it. Plain C++ types, so the Qt-free helper
// programs share the implementations. Called on one thread at a time (the agent's main thread);
// an implementation bounds every wait and reports failure instead of blocking.
//
// Identifiers are assigned by the audio layer and are unique within one scope.
class AudioBackend {
public:
    using DeviceId = std::uint32_t;

    virtual ~AudioBackend() = default;

    // Every device the layer knows for the scope, in its own order; nothing when the list
    // cannot be read.
    virtual std::optional<std::vector<DeviceId>> devices(AudioScope scope) = 0;

    // Whether the device carries audio in the scope's direction; nothing when it cannot be asked
    // (for example because it has just gone away).
    virtual std::optional<bool> hasStreams(AudioScope scope, DeviceId device) = 0;

    // The current default device of the scope; nothing when it cannot be read.
    virtual std::optional<DeviceId> defaultDevice(AudioScope scope) = 0;

    // Asks for a new default device; false when the layer refuses. Returns once the layer has
    // reported the new default, or after a bounded wait for it: an accepted request may still not
    // take effect, so callers read the default back.
    virtual bool requestDefault(AudioScope scope, DeviceId device) = 0;

    // The device's human-readable name (UTF-8); nothing when it has none or cannot be read.
    virtual std::optional<std::string> name(AudioScope scope, DeviceId device) = 0;

    // Moves the streams that play to (or record from) other devices of the scope onto the
    // device, so that what the user hears follows a new default. Best effort: failures are
    // ignored.
    virtual void moveStreams(AudioScope scope, DeviceId device) = 0;
};

// For a build or session without an audio layer: nothing can be listed or switched.
class NoAudioBackend final : public AudioBackend {
public:
    std::optional<std::vector<DeviceId>> devices(AudioScope) override { return std::nullopt; }
    std::optional<bool> hasStreams(AudioScope, DeviceId) override { return std::nullopt; }
    std::optional<DeviceId> defaultDevice(AudioScope) override { return std::nullopt; }
    bool requestDefault(AudioScope, DeviceId) override { return false; }
    std::optional<std::string> name(AudioScope, DeviceId) override { return std::nullopt; }
    void moveStreams(AudioScope, DeviceId) override {}
};
