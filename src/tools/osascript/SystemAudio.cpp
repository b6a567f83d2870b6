#include "SystemAudio.h"

#include "PulseAudio.h"

#include <algorithm>
#include <chrono>

namespace {

constexpr int kVolumeStep = 7;

} // namespace

std::string runAudioVerb(script::SystemVerb verb) {
    // Bounded: a missing or frozen server is a failure within a second, never a hang.
    pulse::PulseAudio audio(std::chrono::seconds(1));
    try {
        switch (verb) {
        case script::SystemVerb::VolumeUp:
        case script::SystemVerb::VolumeDown: {
            const int step = verb == script::SystemVerb::VolumeUp ? kVolumeStep : -kVolumeStep;
            const int current = audio.defaultSinkVolumePercent();
            audio.setDefaultSinkVolumePercent(std::clamp(current + step, 0, 100));
            return {};
        }
        case script::SystemVerb::MuteToggle:
            audio.setDefaultSinkMuted(!audio.defaultSinkMuted());
            return {};
        case script::SystemVerb::QuitApps:
            break;
        }
    } catch (const pulse::PulseError& error) {
        return error.what();
    }
    return "Unsupported script";
}
