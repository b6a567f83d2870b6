#include "KWinFocus.h"

#include "DesktopIndex.h"
#include "FocusScript.h"
#include "FrontWindow.h"
#include "KWinBus.h"
#include "Log.h"
#include "ProcessInfo.h"
#include "WindowApps.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QVariantMap>

namespace {

constexpr auto kCallbackPath = "/KWinFocus";
constexpr auto kCallbackInterface = "org.vantor.Companion.KWinFocus";
// Names and classes are short; anything longer is not a real window's and is cut.
constexpr qsizetype kMaxNameBytes = 512;
constexpr int kLoadAttempts = 20; // half a second apart
// A window's report has six keys; a map much larger is no report of our script's.
constexpr int kMaxKeys = 16;
// Captions are cut at the title cap anyway; one far over it is dropped unread.
constexpr qsizetype kMaxCaption = 4 * kMaxTitleBytes;

std::string field(const QVariantMap& map, const char* key) {
    const QVariant value = map.value(QLatin1String(key));
    if (value.metaType().id() != QMetaType::QString)
        return {};
    return value.toString().toUtf8().left(kMaxNameBytes).toStdString();
}

unsigned pidField(const QVariantMap& map) {
    bool ok = false;
    const QVariant value = map.value(QStringLiteral("pid"));
    const int type = value.metaType().id();
    if (type != QMetaType::Int && type != QMetaType::UInt && type != QMetaType::LongLong &&
        type != QMetaType::ULongLong && type != QMetaType::Double)
        return 0;
    const qlonglong pid = value.toLongLong(&ok);
    return ok && pid > 0 && pid <= 0x3fffffff ? unsigned(pid) : 0;
}

// A forged callback may be huge: its keys are counted, and a caption is measured, before any
// of it is kept, so what it holds never grows the agent.
bool reasonable(const QDBusArgument& map, const QString& token) {
    int keys = 0;
    bool fits = true, signed_ = false;
    map.beginMap();
    while (!map.atEnd() && fits) {
        QString key;
        QDBusVariant value;
        map.beginMapEntry();
        map >> key >> value;
        map.endMapEntry();
        const QVariant& item = value.variant();
        signed_ = signed_ || (key == QLatin1String("token") && item.toString() == token);
        fits = ++keys <= kMaxKeys &&
               (key != QLatin1String("caption") || item.metaType().id() != QMetaType::QString ||
                item.toString().size() <= kMaxCaption);
    }
    map.endMap();
    return fits && signed_;
}

} // namespace

struct KWinFocusSource::State : QDBusVirtualObject {
    KWinFocusSource* owner = nullptr;
    QDBusConnection bus = kwinbus::connect(QStringLiteral("vantor-kwin-focus"));
    DesktopIndex index;
    QTemporaryDir scriptDir; // private (0700) and ours alone
    QString kwinOwner;       // KWin's unique name now; callbacks from anyone else are dropped
    QString token;           // this load's secret, in every callback of our script
    QTimer check;            // is the script still there?
    bool running = false;
    std::optional<FrontApplication> front;
    std::unique_ptr<QDBusServiceWatcher> watcher;
    QTimer retry; // KWin takes its name on the bus before its scripting object is there
    int attempts = 0;
    QMetaObject::Connection quitting;

    State()
        : scriptDir(qEnvironmentVariable("XDG_RUNTIME_DIR", QDir::tempPath()) +
                    QStringLiteral("/vantor-kwin-XXXXXX")) {}

    void kwinChanged(const QString& newOwner);
    void load();
    void unload();
    void checkLoaded();
    void take(const QDBusMessage& message);

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.type() != QDBusMessage::MethodCallMessage)
            return false;
        take(message);
        if (!message.isReplyRequired() || message.isDelayedReply())
            return true;
        // The reply carries nothing; it spares KWin a pending call per event.
        const_cast<QDBusConnection&>(connection).send(message.createReply());
        return true;
    }
    QString introspect(const QString&) const override {
        return QStringLiteral("<interface name=\"%1\"><method name=\"Focus\"><arg "
                              "name=\"window\" type=\"a{sv}\" direction=\"in\"/></method>"
                              "</interface>")
            .arg(QLatin1String(kCallbackInterface));
    }
};

void KWinFocusSource::State::kwinChanged(const QString& newOwner) {
    kwinOwner = newOwner;
    running = false;
    if (front) {
        front.reset();
        owner->notifyFocusChange();
    }
    attempts = 0;
    retry.stop();
    if (!kwinOwner.isEmpty())
        load();
}

void KWinFocusSource::State::load() {
    if (!bus.isConnected() || !scriptDir.isValid())
        return;
    // Whoever holds KWin's name while KWin is away would be handed the script and believed.
    const QString program = QFileInfo(programOf(kwinbus::ownerPid(bus, kwinOwner))).fileName();
    if (program != QLatin1String("kwin_wayland") && program != QLatin1String("kwin_x11")) {
        logEvent(QStringLiteral("KWin focus script not loaded"),
                 QStringLiteral("org.kde.KWin is held by %1, not KWin")
                     .arg(program.isEmpty() ? QStringLiteral("an unknown program") : program));
        return;
    }
    token = QString::number(QRandomGenerator::system()->generate64(), 36) +
            QString::number(QRandomGenerator::system()->generate64(), 36);
    QByteArray script = kFocusScript;
    script.replace("@AGENT@", bus.baseService().toUtf8());
    script.replace("@TOKEN@", token.toLatin1());
    const QString path = scriptDir.filePath(QStringLiteral("focus.js"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(script) < 0)
        return;
    file.close();
    // A copy left by an agent that crashed (or by another agent) would call a dead name or
    // duplicate every event: there is one copy per session.
    const QString name = QLatin1String(kScriptName);
    if (kwinbus::scripting(bus, QStringLiteral("isScriptLoaded"), {name}).value_or(false).toBool())
        kwinbus::scripting(bus, QStringLiteral("unloadScript"), {name});
    const auto id = kwinbus::scripting(bus, QStringLiteral("loadScript"), {path, name});
    running = id && id->toInt() >= 0 && kwinbus::runScript(bus, id->toInt());
    if (!running && ++attempts < kLoadAttempts)
        retry.start();
    if (running)
        check.start();
}

void KWinFocusSource::State::unload() {
    check.stop();
    if (running && bus.isConnected())
        kwinbus::scripting(bus, QStringLiteral("unloadScript"), {QLatin1String(kScriptName)});
    running = false;
}

// Any program of the session may unload the script by its name: found gone, it comes back.
void KWinFocusSource::State::checkLoaded() {
    if (!running || kwinOwner.isEmpty())
        return;
    const auto loaded =
        kwinbus::scripting(bus, QStringLiteral("isScriptLoaded"), {QLatin1String(kScriptName)});
    if (!loaded || loaded->toBool())
        return;
    running = false;
    attempts = 0;
    load();
}

void KWinFocusSource::State::take(const QDBusMessage& message) {
    if (kwinOwner.isEmpty() || message.service() != kwinOwner ||
        message.member() != QLatin1String("Focus") ||
        message.interface() != QLatin1String(kCallbackInterface) ||
        message.signature() != QLatin1String("a{sv}"))
        return;
    const QVariant argument = message.arguments().value(0);
    if (token.isEmpty() || !argument.canConvert<QDBusArgument>() ||
        !reasonable(argument.value<QDBusArgument>(), token))
        return;
    QVariantMap map = qdbus_cast<QVariantMap>(argument.value<QDBusArgument>());
    map.remove(QStringLiteral("token"));
    std::optional<FrontApplication> now;
    if (!map.isEmpty()) {
        WindowIdentity window;
        window.gtkApplicationId = field(map, "desktopFileName");
        window.wmInstance = window.wmClass = field(map, "resourceClass");
        window.pid = pidField(map);
        const QVariant caption = map.value(QStringLiteral("caption"));
        const QByteArray title = caption.metaType().id() == QMetaType::QString
                                     ? caption.toString().toUtf8()
                                     : QByteArray();
        now = describeWindow(index, window, std::string_view(title.data(), title.size()));
    }
    const QVariant activated = map.value(QStringLiteral("activated"));
    const bool moved = now.has_value() != front.has_value() ||
                       (activated.metaType().id() == QMetaType::Bool && activated.toBool());
    front = std::move(now);
    if (moved)
        owner->notifyFocusChange();
}

KWinFocusSource::KWinFocusSource(std::chrono::milliseconds checkEvery)
    : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    s.owner = this;
    s.retry.setSingleShot(true);
    s.retry.setInterval(500);
    QObject::connect(&s.retry, &QTimer::timeout, [&s] { s.load(); });
    s.check.setInterval(checkEvery);
    QObject::connect(&s.check, &QTimer::timeout, [&s] { s.checkLoaded(); });
    if (!s.bus.isConnected())
        return;
    s.bus.registerVirtualObject(QLatin1String(kCallbackPath), &s);
    s.watcher = std::make_unique<QDBusServiceWatcher>(kwinbus::kService, s.bus,
                                                      QDBusServiceWatcher::WatchForOwnerChange);
    QObject::connect(
        s.watcher.get(), &QDBusServiceWatcher::serviceOwnerChanged,
        [&s](const QString&, const QString&, const QString& newOwner) { s.kwinChanged(newOwner); });
    if (auto* app = QCoreApplication::instance())
        s.quitting = QObject::connect(app, &QCoreApplication::aboutToQuit, [&s] { s.unload(); });
    s.kwinChanged(kwinbus::owner(s.bus));
}

KWinFocusSource::~KWinFocusSource() {
    State& s = *m_state;
    QObject::disconnect(s.quitting);
    s.watcher.reset();
    s.unload();
    if (s.bus.isConnected())
        s.bus.unregisterObject(QLatin1String(kCallbackPath));
    kwinbus::disconnect(s.bus);
}

std::optional<FrontApplication> KWinFocusSource::frontApplication() {
    return m_state->front;
}

QString KWinFocusSource::busName() const {
    return m_state->bus.baseService();
}

bool KWinFocusSource::scriptRunning() const {
    return m_state->running;
}

QString KWinFocusSource::callbackToken() const {
    return m_state->token;
}
