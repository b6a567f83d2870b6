#pragma once

#include "Pairing.h"

#include <optional>

class QString;

// Turns pasted pairing text or a vantor:// link into a pairing, or nothing. Three forms, tried
// in order: the link (query items cloud, code, secret), the companion command (assignments
// VANTOR_CLOUD_URL, VANTOR_PAIR_CODE, VANTOR_PAIR_SECRET) and the short form "CODE SECRET
// [CLOUD]" with a six-character code. Pure; any input of any size is safe. Nothing comes back
// for a code that holds "/", "?", "#", "%", white space or control characters, or is "." or "..",
// nor for a cloud address with user information, a query or a fragment; a link's cloud
// address must moreover be a bare origin (isCloudOrigin).
std::optional<Pairing> parsePairingInput(const QString& text);

// Whether the text is a scheme and a host, with an optional port, and nothing else.
bool isCloudOrigin(const QString& cloudUrl);
