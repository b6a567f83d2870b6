#pragma once

#include "ScriptText.h"

#include <string>

// Performs a volume or mute verb on the default sink; empty on success, else the reason.
// libpulse and its two dozen libraries live in a module loaded only for these verbs, so the
// title script, which runs twice a second, does not pay for loading them.
std::string runAudioVerb(script::SystemVerb verb);

// The module's entry point: writes the reason (NUL-terminated, cut to `size`) on failure.
extern "C" bool vantorRunAudioVerb(int verb, char* reason, unsigned long size);
