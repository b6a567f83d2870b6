#pragma once

#include "DesktopSession.h"
#include "FrontApplication.h"
#include "KeySender.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>
#include <memory>
#include <optional>

class DesktopIndex;
class QDBusMessage;
class QDBusServiceWatcher;
class QTimer;
struct DesktopProblem;
struct xkb_context;
struct xkb_keymap;

namespace gnome {

// The extension's address on the session bus.
inline constexpr char kExtensionUuid[] = "vantor-companion@keyloft.com";
inline constexpr char kBusName[] = "com.keyloft.VantorCompanion.Shell";
inline constexpr char kObjectPath[] = "/com/keyloft/VantorCompanion/Shell";
inline constexpr char kInterface[] = "com.keyloft.VantorCompanion.Shell1";
// The agent's own object on its connection, where the extension sends the user's menu choices.
inline constexpr char kAgentPath[] = "/com/keyloft/VantorCompanion/Agent";
inline constexpr char kAgentInterface[] = "com.keyloft.VantorCompanion.Agent1";

// The agent's side of our GNOME Shell extension: the focused window it reports, kept from its
// signal, and the key chords it presses. It speaks only to the Shell's own connection (the owner
// of org.gnome.Shell, found to run gnome-shell), whoever holds the extension's well-known name:
// signals are taken from that connection alone, and only while subscribed. Follows both names,
// so a Shell restart or the extension switched off and on again is noticed; a refused or
// unanswered subscription is tried again (1 s doubling to 60 s), and a held one is renewed now
// and then. While the extension is not there, the Shell's word on it (refused as out of date,
// failed) is what the user is told, and its state changes are followed. The status menu goes to
// the extension at each change and with each new subscription; a choice from it is taken from the
// Shell's connection alone. Main thread.
class ShellLink final : public QObject,
                        public FrontApplicationSource,
                        public KeySender,
                        public StatusMenuHost,
                        protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.keyloft.VantorCompanion.Agent1")
public:
    explicit ShellLink(std::shared_ptr<DesktopProblem> problem);
    ~ShellLink() override;

    std::optional<FrontApplication> frontApplication() override;
    void send(const KeyChord& chord) override;
    void showMenu(const std::vector<StatusMenuEntry>& entries) override;

public Q_SLOTS:
    // The user chose this entry of the menu in the top bar.
    Q_SCRIPTABLE void Activate(uint id);

private Q_SLOTS:
    void windowChanged(const QDBusMessage& message);
    void extensionStateChanged(const QDBusMessage& message);

private:
    void subscribe();
    void pushMenu();
    void retryLater();
    void askExtensionState();
    void setProblem(std::optional<QString> text);
    void forgetWindow();
    void takeWindow(const QList<QVariant>& args);
    bool layoutCanType(const QString& layout, const QString& options, uint32_t keysym);

    QDBusConnection m_bus;
    QDBusServiceWatcher* m_watcher = nullptr;
    QString m_shell;        // the Shell's unique name, where calls go and signals come from
    QString m_shellVersion; // as that Shell gives it ("50.5")
    QTimer* m_retry = nullptr;
    int m_retryMs = 0;
    std::shared_ptr<DesktopProblem> m_problem;
    std::unique_ptr<DesktopIndex> m_index;
    quint64 m_windowId = 0;
    std::optional<FrontApplication> m_front;
    bool m_told = false;
    QString m_toldState; // the last of the Shell's refusals written to the log
    bool m_subscribed = false;
    std::vector<StatusMenuEntry> m_menu;
    xkb_context* m_xkb = nullptr;
    xkb_keymap* m_keymap = nullptr;
    QString m_keymapNames;
};

} // namespace gnome
