#pragma once

#include "ScriptText.h"

#include <string>

// Performs a volume or mute verb on the default sink; empty on success, else the reason.
std::string runAudioVerb(script::SystemVerb verb);
