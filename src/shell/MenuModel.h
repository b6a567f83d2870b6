#pragma once

#include "Pairing.h"

#include <QString>
#include <optional>
#include <vector>

// The commands the status menu offers.
enum class MenuCommand { None, PairManually, Unpair, OpenConsole, ToggleLoginItem, Quit };

// One entry of the status menu: a separator, or an item. Items without a command are disabled.
struct MenuEntry {
    bool separator = false;
    QString title;
    MenuCommand command = MenuCommand::None;
    bool enabled = false;
    bool checked = false;

    bool operator==(const MenuEntry&) const = default;
};

// The status menu for the core's state: the pairing, the last cloud error, whether the agent
// starts at login and what keeps the local API from being served. Built whole on every change;
// no key equivalents. Without a cloud error, the desktop's problem takes the warning line, whole:
// it is our own text, and its end says what to do.
std::vector<MenuEntry> buildMenuModel(const std::optional<Pairing>& pairing,
                                      const std::optional<QString>& cloudError, bool startsAtLogin,
                                      const std::optional<QString>& desktopProblem = std::nullopt,
                                      const std::optional<QString>& localApiProblem = std::nullopt);
