#pragma once

#include "Pairing.h"

#include <optional>

class QString;

// Turns pasted pairing text or a vantor:// link into a pairing, or nothing. Three forms, tried
// in order: the link (query items cloud, code, secret), the companion command (assignments
// VANTOR_CLOUD_URL, VANTOR_PAIR_CODE, VANTOR_PAIR_SECRET) and the short form "CODE SECRET
// [CLOUD]" with a six-character code. Pure; any input of any size is safe.
std::optional<Pairing> parsePairingInput(const QString& text);
