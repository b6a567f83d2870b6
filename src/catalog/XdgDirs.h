#pragma once

#include <optional>
#include <string>
#include <vector>

// The XDG base directories, read from the environment at each call (tests change it).
namespace xdg {

std::string homeDir();
std::string dataHome();                // $XDG_DATA_HOME, else ~/.local/share
std::vector<std::string> dataDirs();   // $XDG_DATA_DIRS, else /usr/local/share:/usr/share
std::string configHome();              // $XDG_CONFIG_HOME, else ~/.config
std::vector<std::string> configDirs(); // $XDG_CONFIG_DIRS, else /etc/xdg

// The folders that hold desktop entries, most important first: the user's, each data dir's,
// then the flatpak export folders when not already among them. No duplicates.
std::vector<std::string> applicationDirs();

// The desktop id of a file below an applications folder: its relative path with "/" turned
// into "-" (for "kde/org.kde.dolphin.desktop", "kde-org.kde.dolphin.desktop").
std::string desktopIdFor(const std::string& applicationsDir, const std::string& filePath);

// The file that a desktop id names, by the lookup rule: the first applications folder holding
// it wins; within a folder a "-" may also stand for a subfolder. Nothing when none exists.
std::optional<std::string> findDesktopFile(const std::string& desktopId);

} // namespace xdg
