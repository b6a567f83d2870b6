#include "MenuModel.h"

#include "Text.h"

namespace {

constexpr qsizetype kWarningLength = 60;

MenuEntry item(const QString& title, MenuCommand command, bool checked = false) {
    return MenuEntry{false, title, command, command != MenuCommand::None, checked};
}

MenuEntry separator() {
    return MenuEntry{true, {}, MenuCommand::None, false, false};
}

} // namespace

std::vector<MenuEntry> buildMenuModel(const std::optional<Pairing>& pairing,
                                      const std::optional<QString>& cloudError, bool startsAtLogin,
                                      const std::optional<QString>& desktopProblem,
                                      const std::optional<QString>& localApiProblem) {
    std::vector<MenuEntry> menu;
    menu.push_back(item(pairing ? QStringLiteral("Paired · code ") + pairing->code
                                : QStringLiteral("Not paired"),
                        MenuCommand::None));
    if (cloudError)
        menu.push_back(item(QStringLiteral("⚠ ") + graphemePrefix(*cloudError, kWarningLength),
                            MenuCommand::None));
    else if (desktopProblem)
        menu.push_back(item(QStringLiteral("⚠ ") + *desktopProblem, MenuCommand::None));
    // Our own fixed text, shown whole: the uid at its end is the part that helps.
    if (localApiProblem)
        menu.push_back(item(QStringLiteral("⚠ ") + *localApiProblem, MenuCommand::None));
    menu.push_back(separator());
    menu.push_back(item(QStringLiteral("Pair with Console…"), MenuCommand::PairManually));
    if (pairing)
        menu.push_back(item(QStringLiteral("Unpair"), MenuCommand::Unpair));
    menu.push_back(item(QStringLiteral("Open Console"), MenuCommand::OpenConsole));
    menu.push_back(separator());
    menu.push_back(
        item(QStringLiteral("Start at Login"), MenuCommand::ToggleLoginItem, startsAtLogin));
    menu.push_back(separator());
    menu.push_back(item(QStringLiteral("Quit Keyloft Companion"), MenuCommand::Quit));
    return menu;
}
