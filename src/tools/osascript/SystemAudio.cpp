#include "SystemAudio.h"

std::string runAudioVerb(script::SystemVerb) {
    return "Audio controls are not available in this build";
}
