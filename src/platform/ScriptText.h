#pragma once

#include "KeyChord.h"

#include <string>
#include <string_view>
#include <variant>

// The script texts the agent hands to its script runner, recognised by their exact templates.
// Anything that is not one of them, even nearly, is refused with the reason for the user.
namespace script {

struct TitleRequest {};
struct KeyRequest {
    KeyChord chord;
};
enum class SystemVerb { VolumeUp, VolumeDown, MuteToggle, QuitApps };
struct VerbRequest {
    SystemVerb verb;
};
struct Refusal {
    std::string reason;
};
using Request = std::variant<Refusal, TitleRequest, KeyRequest, VerbRequest>;

Request parse(std::string_view text);

} // namespace script
