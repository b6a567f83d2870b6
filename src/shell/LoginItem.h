#pragma once

#include <QString>

// Starting at login through the XDG autostart folder: the agent is a login item while
// $XDG_CONFIG_HOME/autostart/vantor-companion.desktop exists and is not Hidden.
namespace LoginItem {

// 1 when enabled, 0 otherwise (the platform's status, mapped to enabled or not).
int status();

// Writes the autostart entry starting `executable`. Throws SystemError with the reason.
void registerItem(const QString& executable);

// Removes the autostart entry. Throws SystemError with the reason.
void unregisterItem();

QString entryPath();

} // namespace LoginItem
