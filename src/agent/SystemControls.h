#pragma once

#include <QHash>
#include <QString>

// The scripted system controls ("volume-up", "volume-down", "mute-toggle", "quit-apps") and the
// script text each hands to the script runner, byte for byte. The two audio-device controls are
// not scripts and are not in the table.
const QHash<QString, QString>& systemVerbScripts();
