#include "GnomeShell.h"

#include "DesktopIndex.h"
#include "DesktopSession.h"
#include "FrontWindow.h"
#include "KeyChord.h"
#include "Log.h"
#include "ProcessInfo.h"
#include "WindowApps.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <algorithm>
#include <xkbcommon/xkbcommon.h>

// The menu's wire form, a(usbbbb): id, title, enabled, checkable, checked, separator.
QDBusArgument& operator<<(QDBusArgument& argument, const StatusMenuEntry& entry) {
    argument.beginStructure();
    argument << entry.id << entry.title << entry.enabled << entry.checkable << entry.checked
             << entry.separator;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, StatusMenuEntry& entry) {
    argument.beginStructure();
    argument >> entry.id >> entry.title >> entry.enabled >> entry.checkable >> entry.checked >>
        entry.separator;
    argument.endStructure();
    return argument;
}

namespace gnome {
namespace {

// Every call to the Shell is bounded: a Shell stuck in a long frame must not hang the agent.
constexpr int kCallTimeoutMs = 2000;
constexpr int kFirstRetryMs = 1000;
constexpr int kLastRetryMs = 60000;
// A held subscription is asked for again this often, to notice one the extension lost.
constexpr int kRenewMs = 60000;

const QString kRefused = QStringLiteral("com.keyloft.VantorCompanion.Error.Refused");

// The Shell's own account of its extensions, and its states there (the same numbers since 3.x).
const QString kShellPath = QStringLiteral("/org/gnome/Shell");
const QString kExtensionsInterface = QStringLiteral("org.gnome.Shell.Extensions");
constexpr int kStateError = 3;
constexpr int kStateOutOfDate = 4;
// The Shell's error text is shown in the tray's menu: one line, bounded.
constexpr int kErrorChars = 160;
constexpr qint64 kMetadataBytes = 64 * 1024;

QDBusMessage extensionCall(const QString& shell, const char* method) {
    return QDBusMessage::createMethodCall(shell, QLatin1String(kObjectPath),
                                          QLatin1String(kInterface), QLatin1String(method));
}

QString missingText() {
    return QStringLiteral("Enable the GNOME extension, then log out and in");
}

// The bus daemon's first answer about `name` to `method`; an invalid value when it has none.
QVariant askBus(const QDBusConnection& bus, const char* method, const QString& name) {
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QLatin1String(method));
    ask << name;
    const QDBusMessage reply = bus.call(ask, QDBus::Block, kCallTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage ? reply.arguments().value(0) : QVariant();
}

// The unique name owning a bus name, empty when none does.
QString ownerOf(const QDBusConnection& bus, const QString& name) {
    return askBus(bus, "GetNameOwner", name).toString();
}

// The program behind a connection, by the bus's word on its process.
QString programOf(const QDBusConnection& bus, const QString& name) {
    const QVariant pid = askBus(bus, "GetConnectionUnixProcessID", name);
    return pid.isValid() ? ::programOf(pid.toLongLong()) : QString();
}

int majorOf(const QString& version) {
    return version.section(QLatin1Char('.'), 0, 0).toInt();
}

uint modifierBits(const KeyChord& chord) {
    uint bits = 0;
    for (const KeyModifier modifier : chord.modifiers)
        bits |= modifier == KeyModifier::Shift ? 1U : modifier == KeyModifier::Control ? 2U : 4U;
    return bits;
}

// What to tell the user about our extension from the Shell's own account of it (the answer to
// org.gnome.Shell.Extensions.GetExtensionInfo, whose "path" leads to the metadata.json the Shell
// read) and the Shell's version ("50.5"): a text when the Shell refused it as out of date or it
// failed to start; nothing when its state says no more than that it is off, absent or running.
std::optional<QString> extensionProblem(const QVariantMap& info, const QString& shellVersion) {
    const int state = info.value(QStringLiteral("state")).toInt();
    const QString cannotSee =
        QStringLiteral("the front window can't be seen — update Vantor Companion");
    if (state == kStateError) {
        QString error =
            info.value(QStringLiteral("error")).toString().section(QLatin1Char('\n'), 0, 0);
        error.truncate(kErrorChars);
        error.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
        return QStringLiteral("GNOME Shell could not start this agent's extension (%1): %2")
            .arg(error, cannotSee);
    }
    if (state != kStateOutOfDate)
        return std::nullopt;
    int newest = 0;
    // The Shell's account leaves lists out: the releases come from the metadata it refused.
    QFile metadata(info.value(QStringLiteral("path")).toString() +
                   QStringLiteral("/metadata.json"));
    // A pipe in its place would hold the open, and the agent's main thread with it.
    if (QFileInfo(metadata).isFile() && metadata.open(QIODevice::ReadOnly))
        for (const QJsonValue listed :
             QJsonDocument::fromJson(metadata.read(kMetadataBytes))[u"shell-version"].toArray())
            newest = std::max(newest, majorOf(listed.toString()));
    const int shell = majorOf(shellVersion);
    if (shell > newest)
        return QStringLiteral("GNOME Shell %1 is newer than this agent's extension (up to %2): %3")
            .arg(QString::number(shell), QString::number(newest), cannotSee);
    // An older Shell, or the form meant for another range of releases installed.
    return QStringLiteral(
               "GNOME Shell %1 does not load this agent's extension (made for up to %2): %3")
        .arg(QString::number(shell), QString::number(newest), cannotSee);
}

} // namespace

ShellLink::ShellLink(std::shared_ptr<DesktopProblem> problem)
    : m_bus(QDBusConnection::sessionBus()), m_problem(std::move(problem)),
      m_index(std::make_unique<DesktopIndex>()), m_xkb(xkb_context_new(XKB_CONTEXT_NO_FLAGS)) {
    m_retry = new QTimer(this);
    m_retry->setSingleShot(true);
    connect(m_retry, &QTimer::timeout, this, [this] { subscribe(); });
    // The extension coming or going, and the Shell itself: either way, start over at once.
    m_watcher = new QDBusServiceWatcher(this);
    m_watcher->setConnection(m_bus);
    m_watcher->setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
    m_watcher->setWatchedServices({QLatin1String(kBusName), QStringLiteral("org.gnome.Shell")});
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, [this] {
        forgetWindow();
        m_subscribed = false;
        m_retryMs = 0;
        subscribe();
    });
    qDBusRegisterMetaType<StatusMenuEntry>();
    qDBusRegisterMetaType<QList<StatusMenuEntry>>();
    m_bus.registerObject(QLatin1String(kAgentPath), this, QDBusConnection::ExportScriptableSlots);
    subscribe();
}

ShellLink::~ShellLink() {
    m_bus.unregisterObject(QLatin1String(kAgentPath));
    xkb_keymap_unref(m_keymap);
    xkb_context_unref(m_xkb);
}

void ShellLink::retryLater() {
    m_retryMs = m_retryMs == 0 ? kFirstRetryMs : std::min(m_retryMs * 2, kLastRetryMs);
    m_retry->start(m_retryMs);
}

void ShellLink::subscribe() {
    m_retry->stop();
    // Any program may claim the extension's name, and org.gnome.Shell while the Shell is away:
    // only the Shell's own connection is believed about windows or told which keys to press.
    const QString shell = ownerOf(m_bus, QStringLiteral("org.gnome.Shell"));
    if (shell != m_shell) {
        if (!m_shell.isEmpty()) {
            m_bus.disconnect(m_shell, QLatin1String(kObjectPath), QLatin1String(kInterface),
                             QStringLiteral("WindowChanged"), this,
                             SLOT(windowChanged(QDBusMessage)));
            m_bus.disconnect(m_shell, kShellPath, kExtensionsInterface,
                             QStringLiteral("ExtensionStateChanged"), this,
                             SLOT(extensionStateChanged(QDBusMessage)));
        }
        m_shell.clear();
        if (!shell.isEmpty() &&
            QFileInfo(programOf(m_bus, shell)).fileName() == QLatin1String("gnome-shell")) {
            m_shell = shell;
            m_bus.connect(m_shell, QLatin1String(kObjectPath), QLatin1String(kInterface),
                          QStringLiteral("WindowChanged"), this, SLOT(windowChanged(QDBusMessage)));
            m_bus.connect(m_shell, kShellPath, kExtensionsInterface,
                          QStringLiteral("ExtensionStateChanged"), this,
                          SLOT(extensionStateChanged(QDBusMessage)));
            QDBusMessage version = QDBusMessage::createMethodCall(
                m_shell, kShellPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                QStringLiteral("Get"));
            version << QStringLiteral("org.gnome.Shell") << QStringLiteral("ShellVersion");
            const QDBusMessage reply = m_bus.call(version, QDBus::Block, kCallTimeoutMs);
            m_shellVersion = reply.arguments().value(0).value<QDBusVariant>().variant().toString();
        }
    }
    if (m_shell.isEmpty()) {
        m_subscribed = false;
        setProblem(missingText());
        retryLater();
        return;
    }
    if (ownerOf(m_bus, QLatin1String(kBusName)).isEmpty()) {
        m_subscribed = false;
        askExtensionState();
        retryLater();
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(
        m_bus.asyncCall(extensionCall(m_shell, "Subscribe"), kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusMessage reply = call->reply();
                const bool was = m_subscribed;
                m_subscribed = reply.type() == QDBusMessage::ReplyMessage;
                if (m_subscribed) {
                    setProblem(std::nullopt);
                    m_retryMs = 0;
                    m_retry->start(kRenewMs);
                    if (!was || reply.arguments().value(0).toULongLong() != m_windowId)
                        takeWindow(reply.arguments());
                    // A new subscriber has no menu yet: the extension's last one went with it.
                    if (!was)
                        pushMenu();
                    return;
                }
                forgetWindow();
                setProblem(reply.errorName() == kRefused
                               ? QStringLiteral("The GNOME extension refuses this program")
                               : missingText());
                retryLater();
            });
}

// Why the extension is not there, in the Shell's words where it has any; until it answers, the
// problem stands as it was.
void ShellLink::askExtensionState() {
    QDBusMessage info = QDBusMessage::createMethodCall(m_shell, kShellPath, kExtensionsInterface,
                                                       QStringLiteral("GetExtensionInfo"));
    info << QLatin1String(kExtensionUuid);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(info, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, shell = m_shell](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                // An answer that arrives after the extension came back, or from a Shell since
                // replaced, is about a state that is gone.
                if (m_subscribed || shell != m_shell)
                    return;
                const QDBusPendingReply<QVariantMap> reply = *call;
                const std::optional<QString> refused =
                    reply.isValid() ? extensionProblem(reply.value(), m_shellVersion)
                                    : std::nullopt;
                if (refused && *refused != m_toldState) {
                    m_toldState = *refused;
                    logEvent(QStringLiteral("GNOME extension not loaded"), *refused);
                }
                setProblem(refused.value_or(missingText()));
            });
}

void ShellLink::extensionStateChanged(const QDBusMessage& message) {
    if (message.service() != m_shell ||
        message.arguments().value(0).toString() != QLatin1String(kExtensionUuid))
        return;
    m_retryMs = 0;
    subscribe();
}

void ShellLink::setProblem(std::optional<QString> text) {
    if (text == missingText() && !m_told) {
        m_told = true;
        logEvent(QStringLiteral("GNOME extension not answering"),
                 QStringLiteral("the focused window stays unknown and key chords cannot be sent "
                                "until it does. Enable it with: gnome-extensions enable %1 — "
                                "then log out and in once (GNOME loads new extensions only at "
                                "login on Wayland)")
                     .arg(QLatin1String(kExtensionUuid)));
    }
    if (!m_problem || m_problem->text == text)
        return;
    m_problem->text = std::move(text);
    if (m_problem->onChange)
        m_problem->onChange();
}

void ShellLink::forgetWindow() {
    const bool had = m_windowId != 0;
    m_windowId = 0;
    m_front.reset();
    if (had)
        notifyFocusChange();
}

void ShellLink::windowChanged(const QDBusMessage& message) {
    // A signal counts only from the Shell, and only while subscribed.
    if (m_subscribed && !m_shell.isEmpty() && message.service() == m_shell)
        takeWindow(message.arguments());
}

// The window as the Shell reported it, in a signal or the answer to Subscribe (which the bus
// delivers from the Shell it was asked of, whatever sender Qt reports for it).
void ShellLink::takeWindow(const QList<QVariant>& args) {
    if (args.size() != 5)
        return;
    const quint64 id = args[0].toULongLong();
    if (id == 0) {
        forgetWindow();
        return;
    }
    WindowIdentity window;
    window.gtkApplicationId = args[3].toString().toStdString();
    window.wmInstance = window.wmClass = args[2].toString().toStdString();
    window.pid = args[4].toUInt();
    m_index->refreshIfStale();
    m_front = describeWindow(*m_index, window, args[1].toString().toStdString());
    const bool moved = id != m_windowId;
    m_windowId = id;
    if (moved)
        notifyFocusChange();
}

void ShellLink::showMenu(const std::vector<StatusMenuEntry>& entries) {
    if (entries == m_menu)
        return;
    m_menu = entries;
    if (m_subscribed)
        pushMenu();
}

void ShellLink::pushMenu() {
    QDBusMessage call = extensionCall(m_shell, "SetMenu");
    call << QVariant::fromValue(QList<StatusMenuEntry>(m_menu.begin(), m_menu.end()));
    // A lost update is made good by the next change or subscription; nothing waits for it.
    m_bus.asyncCall(call, kCallTimeoutMs);
}

void ShellLink::Activate(uint id) {
    // Any program on the bus can call the agent: only the Shell's own connection stands for the
    // user's click in the top bar, as only it is believed about windows.
    if (!m_subscribed || m_shell.isEmpty() || message().service() != m_shell) {
        sendErrorReply(kRefused, QStringLiteral("Only GNOME Shell may choose from this menu"));
        return;
    }
    const bool offered = std::any_of(m_menu.begin(), m_menu.end(), [id](const auto& entry) {
        return entry.id == id && id != 0 && entry.enabled && !entry.separator;
    });
    if (!offered) {
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("No such menu entry"));
        return;
    }
    // A command may run a dialog with its own event loop: the Shell has its answer first.
    QTimer::singleShot(0, this, [this, id] {
        if (onActivate)
            onActivate(id);
    });
}

std::optional<FrontApplication> ShellLink::frontApplication() {
    return m_front;
}

bool ShellLink::layoutCanType(const QString& layout, const QString& options, uint32_t keysym) {
    const QString names = layout + QLatin1Char('\n') + options;
    if (names != m_keymapNames || !m_keymap) {
        xkb_keymap_unref(m_keymap);
        // "de+nodeadkeys" is layout "de", variant "nodeadkeys".
        const QByteArray name = layout.section(QLatin1Char('+'), 0, 0).toUtf8();
        const QByteArray variant = layout.section(QLatin1Char('+'), 1).toUtf8();
        const QByteArray optionText = options.toUtf8();
        const xkb_rule_names rules{nullptr, nullptr, name.constData(), variant.constData(),
                                   optionText.constData()};
        m_keymap = xkb_keymap_new_from_names(m_xkb, &rules, XKB_KEYMAP_COMPILE_NO_FLAGS);
        m_keymapNames = names;
    }
    if (!m_keymap)
        return false;
    // The Shell's virtual keyboard presses a key of the layout in use, at any level; a keysym no
    // key carries there is dropped without a word, so it is refused here instead.
    for (xkb_keycode_t key = xkb_keymap_min_keycode(m_keymap);
         key <= xkb_keymap_max_keycode(m_keymap); ++key)
        for (xkb_level_index_t level = 0; level < xkb_keymap_num_levels_for_key(m_keymap, key, 0);
             ++level) {
            const xkb_keysym_t* syms = nullptr;
            const int count = xkb_keymap_key_get_syms_by_level(m_keymap, key, 0, level, &syms);
            for (int i = 0; i < count; ++i)
                if (syms[i] == keysym)
                    return true;
        }
    return false;
}

void ShellLink::send(const KeyChord& chord) {
    if (!m_subscribed)
        throw KeyInjectionError(
            (m_problem && m_problem->text ? *m_problem->text : missingText()).toStdString());
    const QDBusMessage keyboard =
        m_bus.call(extensionCall(m_shell, "Keyboard"), QDBus::Block, kCallTimeoutMs);
    if (keyboard.type() != QDBusMessage::ReplyMessage || keyboard.arguments().size() != 2)
        throw KeyInjectionError("The GNOME extension did not answer");
    if (!layoutCanType(keyboard.arguments()[0].toString(), keyboard.arguments()[1].toString(),
                       chord.keysym))
        throw KeyInjectionError("The keyboard layout in use has no key for this character");
    QDBusMessage press = extensionCall(m_shell, "PressKey");
    press << chord.keysym << modifierBits(chord);
    const QDBusMessage reply = m_bus.call(press, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage)
        throw KeyInjectionError(reply.errorName() == kRefused
                                    ? "The GNOME extension refuses this program"
                                    : "The GNOME extension did not press the keys");
}

} // namespace gnome
