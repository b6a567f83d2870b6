#pragma once

#include <QHash>
#include <QString>

// Key chords such as "command+shift+k" as one line of script for the script runner: the contract
// between the agent and its script runner, kept byte for byte.

// Key names and their virtual key codes (positions of the US layout).
const QHash<QString, int>& namedKeyCodes();

// The script that presses the chord's key with its modifiers held. The chord has passed the
// dispatcher's text check (trimmed, not empty, at most 240 characters). Throws
// AgentError::invalid when it is too long, has no key, or names a key the agent does not know.
QString shortcutScript(const QString& keys);
