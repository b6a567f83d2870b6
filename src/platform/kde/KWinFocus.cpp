#include "KWinFocus.h"

#include "DesktopIndex.h"
#include "FocusScript.h"
#include "FrontWindow.h"
#include "KWinBus.h"
#include "WindowApps.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QVariantMap>

namespace {

constexpr auto kCallbackPath = "/KWinFocus";
constexpr auto kCallbackInterface = "org.vantor.Companion.KWinFocus";
// Names and classes are short; anything longer is not a real window's and is cut.
constexpr qsizetype kMaxNameBytes = 512;
constexpr int kLoadAttempts = 20; // half a second apart

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

} // namespace

struct KWinFocusSource::State : QDBusVirtualObject {
    KWinFocusSource* owner = nullptr;
    QDBusConnection bus = kwinbus::connect(QStringLiteral("vantor-kwin-focus"));
    DesktopIndex index;
    QTemporaryDir scriptDir; // private (0700) and ours alone
    QString kwinOwner;       // KWin's unique name now; callbacks from anyone else are dropped
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
    QByteArray script = kFocusScript;
    script.replace("@AGENT@", bus.baseService().toUtf8());
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
}

void KWinFocusSource::State::unload() {
    if (running && bus.isConnected())
        kwinbus::scripting(bus, QStringLiteral("unloadScript"), {QLatin1String(kScriptName)});
    running = false;
}

void KWinFocusSource::State::take(const QDBusMessage& message) {
    if (kwinOwner.isEmpty() || message.service() != kwinOwner ||
        message.member() != QLatin1String("Focus") ||
        message.interface() != QLatin1String(kCallbackInterface) ||
        message.signature() != QLatin1String("a{sv}"))
        return;
    const QVariant argument = message.arguments().value(0);
    const QVariantMap map = argument.canConvert<QDBusArgument>()
                                ? qdbus_cast<QVariantMap>(argument.value<QDBusArgument>())
                                : argument.toMap();
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

KWinFocusSource::KWinFocusSource() : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    s.owner = this;
    s.retry.setSingleShot(true);
    s.retry.setInterval(500);
    QObject::connect(&s.retry, &QTimer::timeout, [&s] { s.load(); });
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
