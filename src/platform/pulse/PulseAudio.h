#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A small synchronous PulseAudio client (libpulse, also served by PipeWire's pulse server),
// without Qt, shared by the agent and its helper programs.
//
// The connection is made on first use and kept; when the server has gone away, the next call
// connects afresh, so a restarted server is picked up. The server is never autospawned. Every
// call waits at most the time-out given to the constructor (connecting included) and then
// fails. One object is used by one thread at a time.
namespace pulse {

enum class DeviceKind { Sink, Source };

struct Device {
    std::uint32_t index = 0; // the server's index: unique among the sinks, or among the sources
    std::string name;        // the server's stable name, e.g. "alsa_output.pci-0000..."
    std::string description; // the human-readable name
    bool monitor = false;    // a source that records a sink's output
};

// A failed call: the libpulse call that failed and the server's error text.
class PulseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class PulseAudio {
public:
    explicit PulseAudio(std::chrono::milliseconds timeout = std::chrono::seconds(2));
    ~PulseAudio();

    PulseAudio(const PulseAudio&) = delete;
    PulseAudio& operator=(const PulseAudio&) = delete;

    // All sinks, or all sources (monitors included and flagged), in the server's order.
    std::vector<Device> devices(DeviceKind kind);
    // The sinks, or the sources that are not monitors.
    std::vector<Device> playbackOrCaptureDevices(DeviceKind kind);
    // One device by index; nothing when the server has no such device.
    std::optional<Device> device(DeviceKind kind, std::uint32_t index);
    // The server's default sink or source.
    Device defaultDevice(DeviceKind kind);
    // Makes the named device the server's default.
    void setDefaultDevice(DeviceKind kind, const std::string& name);
    // Moves every sink input (for a sink) or every source output recording from a non-monitor
    // source (for a source) that is elsewhere onto the device; streams that refuse to move stay.
    // Returns how many moved.
    int moveStreamsTo(DeviceKind kind, std::uint32_t index);

    // The default sink's volume in percent of the normal (unamplified) volume, the loudest
    // channel counting; setting it scales all channels and keeps their balance.
    int defaultSinkVolumePercent();
    void setDefaultSinkVolumePercent(int percent);
    bool defaultSinkMuted();
    void setDefaultSinkMuted(bool muted);

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

} // namespace pulse
