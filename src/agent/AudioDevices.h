#pragma once

#include "AudioBackend.h"

#include <QString>
#include <optional>
#include <vector>

// Switching the default audio device to the next one. Keeps no state: every call reads the
// device list and the default afresh through the backend, so devices that came or went since
// the last call count. Refusals are AgentError::invalid with texts meant for the user.
namespace AudioDevices {

using Scope = AudioScope;
using DeviceId = AudioBackend::DeviceId;

// Makes the device after the current default (wrapping) the default and returns its name, or a
// short text saying why nothing changed. Once a switch has taken effect, the streams follow it.
QString cycleDefault(AudioBackend& backend, Scope scope);

// The devices with audio in the scope's direction, in the audio layer's order.
std::vector<DeviceId> deviceList(AudioBackend& backend, Scope scope);

// The current default device of the scope.
DeviceId defaultDevice(AudioBackend& backend, Scope scope);

// The device's name; nothing when it has none.
std::optional<QString> name(AudioBackend& backend, Scope scope, DeviceId device);

} // namespace AudioDevices
