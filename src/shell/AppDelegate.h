#pragma once

#include "MenuModel.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class AgentCore;
class LocalServer;
class QMenu;
class QSystemTrayIcon;
class QTimer;
class QUrl;
class StatusMenuHost;
struct CoreServices;
struct Pairing;

// The agent's shell: owns the core, the loopback server and the tray icon, wires the core's
// callbacks at launch, renders the status menu and carries out its commands. Main thread only.
class AppDelegate : public QObject {
public:
    struct Options {
        quint16 port = 17345;
        // Whether the user can be asked (a display is there): without it a link to a foreign
        // console is refused and no dialog is ever shown.
        bool canAsk = true;
    };

    AppDelegate(CoreServices services, Options options);
    ~AppDelegate() override;

    // Creates the status item, starts the server, installs the callbacks, starts the core and
    // builds the menu.
    void applicationDidFinishLaunching();

    // A start argument or a hand-over from a later start: a link (anything that begins with
    // "vantor:", whatever form follows), or pairing text the user pasted into a terminal.
    void handleArgument(const QString& argument);

    // Pairs from a link. Silently only for the default console's origin, and only while unpaired
    // or paired the same way; otherwise the user is asked, and with no way to ask it is refused.
    void handleGetURL(const QString& link);

    void rebuildMenu();
    const std::vector<MenuEntry>& menuModel() const { return m_model; }

    // The status menu's commands.
    void pairManually();
    void unpair();
    void openConsole();
    void toggleLoginItem();
    void quit();

    AgentCore& core() { return *m_core; }
    LocalServer* server() { return m_server.get(); }
    bool trayVisible() const;

    // What a link asks the user to allow: pairing with another console than the default one,
    // replacing the current pairing, or both.
    struct LinkQuestion {
        QString origin; // the new console's origin, as shown
        QString code;   // the new pairing code
        bool foreignConsole = false;
        bool replacesPairing = false;
    };

    // Seams for what reaches outside the process: asking the user about a link, opening an
    // address in the browser, and asking for pairing text.
    std::function<bool(const LinkQuestion& question)> confirmLink;
    std::function<void(const QUrl& url)> openUrl;
    std::function<std::optional<QString>()> askForPairingText;
    // Where the desktop itself shows the status menu while no tray icon does (GNOME's top bar);
    // its choices run as the tray's do.
    void setMenuHost(std::shared_ptr<StatusMenuHost> host);

    // What keeps the desktop backend from working, for the status line while there is no cloud
    // error to show; call rebuildMenu when it changes.
    std::function<std::optional<QString>()> desktopProblem;

private:
    void pairFromText(const QString& text);
    void createStatusItem();
    void installMenu();
    void run(MenuCommand command);

    Options m_options;
    std::unique_ptr<AgentCore> m_core;
    std::unique_ptr<LocalServer> m_server;
    std::unique_ptr<QSystemTrayIcon> m_statusItem;
    std::unique_ptr<QMenu> m_menu;
    std::shared_ptr<StatusMenuHost> m_menuHost;
    QTimer* m_trayWatch = nullptr;
    std::vector<MenuEntry> m_model;
};

// Whether a pairing's cloud address is a bare origin (no user information, path, query or
// fragment) that is the same (scheme, host, port) as that of the console the agent was built for.
bool isDefaultConsoleOrigin(const QString& cloudUrl);
