#pragma once

#include <optional>
#include <string>

// The desktop id of the user's default application for a MIME type (for a URL scheme,
// "x-scheme-handler/SCHEME"), by the XDG MIME applications lookup: each mimeapps.list in
// precedence order ($XDG_CONFIG_HOME, $XDG_CONFIG_DIRS, $XDG_DATA_HOME/applications,
// $XDG_DATA_DIRS/applications), its [Default Applications] first, then [Added Associations]
// less [Removed Associations], then the mimeinfo.cache of each applications folder. Only an id
// whose desktop file exists counts. Nothing when no application is registered.
std::optional<std::string> defaultApplicationFor(const std::string& mimeType);
