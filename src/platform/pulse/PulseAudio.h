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
// The connection is made on first use and kept. Its death is recorded when libpulse reports it,
// and every call first reads what the server sent while the object was idle, so a server that
// went away (or restarted) since the last call is replaced by a fresh connection before the call
// uses it. The server is never autospawned. Every call waits at most the time-out given to the
// constructor (connecting included) and then fails. One object is used by one thread at a time.
//
// Changes are confirmed by what the server reports, not by its acknowledgement: PipeWire's pulse
// server acknowledges a new default, volume or mute and reports the old state for a while after
// (or, for a device that has never played, not at all), so each change waits, bounded, for the
// server's own change events to show the new state.
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
    // Makes the named device the server's default: true once the server reports it as its
    // default, false when it still reports another at the end of the wait (it kept its own).
    bool setDefaultDevice(DeviceKind kind, const std::string& name);
    // Asks the server to keep every recording of a sink's monitor on that monitor, as if the user
    // had put it there: PipeWire's session manager otherwise moves such a recording to the new
    // default sink's monitor when the default sink changes. Best effort; a no-op on PulseAudio.
    void keepMonitorRecordings();
    // Moves every sink input (for a sink) or every source output recording from a non-monitor
    // source (for a source) that is elsewhere onto the device; streams that refuse to move stay.
    // Returns how many moved.
    int moveStreamsTo(DeviceKind kind, std::uint32_t index);

    // The default sink's volume in percent of the normal (unamplified) volume, the loudest
    // channel counting; setting it scales all channels and keeps their balance. Setting volume
    // or mute fails with a text naming the sink when the server does not show the change.
    int defaultSinkVolumePercent();
    void setDefaultSinkVolumePercent(int percent);
    bool defaultSinkMuted();
    void setDefaultSinkMuted(bool muted);

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

} // namespace pulse
