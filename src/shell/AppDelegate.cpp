#include "AppDelegate.h"

#include "AgentCore.h"
#include "AgentError.h"
#include "DefaultConsoleUrl.h"
#include "DesktopSession.h"
#include "LocalServer.h"
#include "Log.h"
#include "LoginItem.h"
#include "PairingInput.h"
#include "Text.h"

#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// A tray host may appear after the agent started (a panel restarted, a session still loading).
constexpr int kTrayWatchMs = 5000;

QString origin(const QUrl& url) {
    return url.scheme().toLower() + QStringLiteral("://") + url.host().toLower() +
           QLatin1Char(':') +
           QString::number(url.port(url.scheme().toLower() == QLatin1String("http") ? 80 : 443));
}

std::optional<QString> runPairDialog() {
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Keyloft Companion"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* message = new QLabel(QStringLiteral("Pair with the Keyloft console"));
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    layout->addWidget(message);
    auto* informative = new QLabel(QStringLiteral(
        "In the console, hit Create Pairing, then paste the companion command (or the vantor:// "
        "link) here."));
    informative->setWordWrap(true);
    layout->addWidget(informative);
    auto* field = new QLineEdit;
    field->setFixedSize(380, 24);
    field->setPlaceholderText(QStringLiteral("VANTOR_CLOUD_URL=… VANTOR_PAIR_CODE=… …"));
    layout->addWidget(field);
    auto* buttons = new QDialogButtonBox;
    QPushButton* pair = buttons->addButton(QStringLiteral("Pair"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    pair->setDefault(true);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    field->setFocus();
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return field->text();
}

bool askAboutLink(const AppDelegate::LinkQuestion& question) {
    QMessageBox box;
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(QStringLiteral("Keyloft Companion"));
    QString informative;
    if (question.foreignConsole) {
        box.setText(QStringLiteral("Pair with a console at %1?").arg(question.origin));
        informative = QStringLiteral("A link asks this computer to take orders from %1, which is "
                                     "not the Keyloft console. Pair only if you trust it.")
                          .arg(question.origin);
    } else {
        box.setText(
            QStringLiteral("Replace this computer's pairing with code %1?").arg(question.code));
    }
    if (question.replacesPairing)
        informative += (informative.isEmpty() ? QString() : QStringLiteral(" ")) +
                       QStringLiteral("The link replaces the current pairing with the pairing "
                                      "code %1: whoever holds that code controls this computer. "
                                      "Pair only if you opened this link yourself.")
                           .arg(question.code);
    box.setInformativeText(informative);
    // Alt+P answers yes from the keyboard; Cancel stays the default for a stray Return.
    QPushButton* pair = box.addButton(QStringLiteral("&Pair"), QMessageBox::AcceptRole);
    box.setDefaultButton(box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole));
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
    return box.clickedButton() == pair;
}

QIcon statusIcon() {
    QIcon icon;
    const QImage image(QStringLiteral(":/vantor/KeyloftMenu.png"));
    if (!image.isNull())
        icon.addPixmap(QPixmap::fromImage(image));
    if (icon.isNull())
        icon = QIcon::fromTheme(QStringLiteral("input-keyboard"));
    return icon;
}

} // namespace

bool isDefaultConsoleOrigin(const QString& cloudUrl) {
    return isCloudOrigin(cloudUrl) &&
           origin(QUrl(cloudUrl, QUrl::StrictMode)) == origin(QUrl(defaultConsoleUrl()));
}

AppDelegate::AppDelegate(CoreServices services, Options options)
    : m_options(options), m_core(std::make_unique<AgentCore>(std::move(services))) {
    confirmLink = [](const LinkQuestion& question) { return askAboutLink(question); };
    openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    askForPairingText = [] { return runPairDialog(); };
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    createStatusItem();

    m_server = std::make_unique<LocalServer>(m_core.get(), m_options.port);
    m_server->setOnProblemChange([this] { rebuildMenu(); });
    try {
        m_server->start();
    } catch (const std::exception& error) {
        logEvent(QStringLiteral("Local server failed to start: ") + errorDescription(error));
    }

    QPointer<AppDelegate> self(this);
    m_core->onContextChange = [self](const AgentContext& context) {
        if (self && self->m_server)
            self->m_server->broadcast(context);
    };
    m_core->onPairingChange = [self] {
        if (self)
            self->rebuildMenu();
    };
    m_core->start();
    rebuildMenu();
}

void AppDelegate::createStatusItem() {
    m_menu = std::make_unique<QMenu>();
    if (!m_options.canAsk || !QSystemTrayIcon::isSystemTrayAvailable()) {
        const QString terminal =
            QStringLiteral("pair from a terminal with: vantor-companion --pair -");
        logEvent(QStringLiteral("Tray unavailable"),
                 m_menuHost ? QStringLiteral("the menu is in the desktop's top bar; without it, ") +
                                  terminal
                            : QStringLiteral("the menu is not shown; ") + terminal);
        if (!m_options.canAsk)
            return;
        // Dock as soon as a tray host appears.
        m_trayWatch = new QTimer(this);
        QObject::connect(m_trayWatch, &QTimer::timeout, this, [this] {
            if (!QSystemTrayIcon::isSystemTrayAvailable())
                return;
            m_trayWatch->stop();
            createStatusItem();
            installMenu();
        });
        m_trayWatch->start(kTrayWatchMs);
        return;
    }
    m_statusItem = std::make_unique<QSystemTrayIcon>(statusIcon());
    m_statusItem->setToolTip(QStringLiteral("Keyloft Companion"));
    m_statusItem->setContextMenu(m_menu.get());
    QObject::connect(m_statusItem.get(), &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger && m_menu)
                             m_menu->popup(QCursor::pos());
                     });
    m_statusItem->show();
}

bool AppDelegate::trayVisible() const {
    return m_statusItem && m_statusItem->isVisible();
}

void AppDelegate::rebuildMenu() {
    m_model = buildMenuModel(m_core->pairing, m_core->lastCloudError, LoginItem::status() == 1,
                             desktopProblem ? desktopProblem() : std::nullopt,
                             m_server ? m_server->problem() : std::nullopt);
    installMenu();
}

void AppDelegate::installMenu() {
    // Before launch has created the menu (a link that started the agent) there is nothing to
    // install; the menu built at the end of launch shows the state.
    if (!m_menu)
        return;
    m_menu->clear();
    std::vector<StatusMenuEntry> published;
    for (const MenuEntry& entry : m_model) {
        const bool checkable = entry.command == MenuCommand::ToggleLoginItem;
        published.push_back({static_cast<quint32>(entry.command), entry.title, entry.enabled,
                             checkable, entry.checked, entry.separator});
        if (entry.separator) {
            m_menu->addSeparator();
            continue;
        }
        QAction* action = m_menu->addAction(entry.title);
        action->setEnabled(entry.enabled);
        if (checkable) {
            action->setCheckable(true);
            action->setChecked(entry.checked);
        }
        const MenuCommand command = entry.command;
        QObject::connect(action, &QAction::triggered, this, [this, command] {
            // Commands may rebuild the menu, which deletes this action: run them afterwards.
            QTimer::singleShot(0, this, [this, command] { run(command); });
        });
    }
    // Never two menus: the desktop shows this one only while no tray icon of ours does.
    if (m_menuHost)
        m_menuHost->showMenu(trayVisible() ? std::vector<StatusMenuEntry>() : published);
}

void AppDelegate::setMenuHost(std::shared_ptr<StatusMenuHost> host) {
    m_menuHost = std::move(host);
    if (!m_menuHost)
        return;
    QPointer<AppDelegate> self(this);
    // The host passes on only ids of the entries it was last given, each a command's.
    m_menuHost->onActivate = [self](quint32 id) {
        if (self)
            self->run(static_cast<MenuCommand>(id));
    };
    installMenu();
}

void AppDelegate::run(MenuCommand command) {
    switch (command) {
    case MenuCommand::PairManually:
        pairManually();
        break;
    case MenuCommand::Unpair:
        unpair();
        break;
    case MenuCommand::OpenConsole:
        openConsole();
        break;
    case MenuCommand::ToggleLoginItem:
        toggleLoginItem();
        break;
    case MenuCommand::Quit:
        quit();
        break;
    case MenuCommand::None:
        break;
    }
}

void AppDelegate::pairManually() {
    if (!m_options.canAsk)
        return;
    const auto text = askForPairingText();
    if (!text)
        return;
    pairFromText(*text);
}

void AppDelegate::pairFromText(const QString& text) {
    if (const auto pairing = parsePairingInput(text)) {
        m_core->pair(*pairing);
        return;
    }
    logEvent(QStringLiteral("Could not read pairing"),
             QStringLiteral("Paste the full companion command from the console's pairing panel."));
    rebuildMenu();
}

void AppDelegate::unpair() {
    m_core->clearPairing();
}

void AppDelegate::openConsole() {
    const QString text = m_core->pairing ? m_core->pairing->cloudUrl : defaultConsoleUrl();
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        return;
    openUrl(url);
}

void AppDelegate::toggleLoginItem() {
    try {
        if (LoginItem::status() == 1)
            LoginItem::unregisterItem();
        else
            LoginItem::registerItem(QCoreApplication::applicationFilePath());
    } catch (const std::exception& error) {
        logEvent(QStringLiteral("Login item change failed"), errorDescription(error));
        rebuildMenu();
    }
    rebuildMenu();
}

void AppDelegate::quit() {
    QCoreApplication::quit();
}

void AppDelegate::handleArgument(const QString& argument) {
    const QString text = trimmedText(argument);
    if (text.isEmpty())
        return;
    // The desktop entry hands over every "vantor:" address, with or without "//": each one is a
    // link, whichever form its text then parses as.
    if (text.startsWith(QLatin1String("vantor:"), Qt::CaseInsensitive))
        handleGetURL(text);
    else
        pairFromText(text);
}

void AppDelegate::handleGetURL(const QString& link) {
    const auto pairing = parsePairingInput(link);
    if (!pairing)
        return;
    const auto refuse = [](const QString& why) {
        logEvent(QStringLiteral("Pairing link refused"), why);
    };
    // A link's requests go to the console's origin itself, never to a path below it.
    if (!isCloudOrigin(pairing->cloudUrl)) {
        refuse(QStringLiteral("its cloud address is not a plain origin"));
        return;
    }
    // A web page can open a link: only the user may hand the agent to another console, or to
    // another pairing than the one it has.
    LinkQuestion question;
    question.code = pairing->code;
    question.foreignConsole = !isDefaultConsoleOrigin(pairing->cloudUrl);
    question.replacesPairing = m_core->pairing && *m_core->pairing != *pairing;
    const QUrl url(pairing->cloudUrl);
    question.origin = url.scheme() + QStringLiteral("://") + url.authority();
    if (question.foreignConsole || question.replacesPairing) {
        if (!m_options.canAsk) {
            refuse((question.foreignConsole
                        ? QStringLiteral("%1 is not the Keyloft console").arg(question.origin)
                        : QStringLiteral("it would replace the current pairing with code %1")
                              .arg(question.code)) +
                   QStringLiteral(" and there is no way to ask you"));
            return;
        }
        if (!confirmLink(question)) {
            refuse(question.foreignConsole
                       ? QStringLiteral("you declined to pair with %1").arg(question.origin)
                       : QStringLiteral("you declined to replace the pairing"));
            return;
        }
    }
    m_core->pair(*pairing);
    logEvent(QStringLiteral("Keyloft paired"),
             QStringLiteral("Code ") + pairing->code +
                 QStringLiteral(" — this computer is now remote-controllable."));
    rebuildMenu();
}
