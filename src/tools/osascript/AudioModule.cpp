#include "PulseAudio.h"
#include "SystemAudio.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

constexpr int kVolumeStep = 7;

void perform(script::SystemVerb verb) {
    // Bounded: a missing or frozen server is a failure within a second, never a hang.
    pulse::PulseAudio audio(std::chrono::seconds(1));
    if (verb == script::SystemVerb::MuteToggle) {
        audio.setDefaultSinkMuted(!audio.defaultSinkMuted());
        return;
    }
    const int step = verb == script::SystemVerb::VolumeUp ? kVolumeStep : -kVolumeStep;
    audio.setDefaultSinkVolumePercent(std::clamp(audio.defaultSinkVolumePercent() + step, 0, 100));
}

} // namespace

extern "C" bool vantorRunAudioVerb(int verb, char* reason, unsigned long size) {
    try {
        perform(static_cast<script::SystemVerb>(verb));
        return true;
    } catch (const std::exception& error) {
        std::strncpy(reason, error.what(), size);
        reason[size - 1] = '\0';
        return false;
    }
}
