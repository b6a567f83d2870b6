#include "GnomeDesktop.h"

#include "TempEnvironment.h"
#include "XDesktop.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <sys/prctl.h>
#include <sys/wait.h>

namespace {

constexpr char kUuid[] = "vantor-companion@keyloft.com";
constexpr char kHelperUuid[] = "vantor-test-helper@keyloft.com";

QString busConfig(const QString& type, const QString& socket) {
    // Allow-all: the buses serve this test alone. The session bus finds dconf through the
    // standard service folders.
    return QStringLiteral("<busconfig><type>%1</type><listen>unix:path=%2</listen>"
                          "<standard_session_servicedirs/><policy context=\"default\">"
                          "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
                          "<allow receive_sender=\"*\"/></policy></busconfig>")
        .arg(type, socket);
}

bool copyFolder(const QString& from, const QString& to) {
    QDir().mkpath(to);
    bool ok = true;
    for (const QFileInfo& file : QDir(from).entryInfoList(QDir::Files))
        ok = ok && QFile::copy(file.filePath(), to + QLatin1Char('/') + file.fileName());
    return ok;
}

std::string local(const QString& text) {
    return text.toStdString();
}

} // namespace

GnomeDesktop::GnomeDesktop() : m_dir(QStringLiteral("/tmp/vantor-gnome-XXXXXX")) {
    // The buses start services (dconf, accessibility) that outlive them by a moment: adopt them
    // so they are reaped here rather than left as zombies.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    const QString dir = m_dir.path();
    const QString home = dir + QStringLiteral("/home");
    const QString extensions = home + QStringLiteral("/.local/share/gnome-shell/extensions/");
    const std::vector<std::pair<const char*, QString>> environment = {
        {"HOME", home},
        {"XDG_CONFIG_HOME", home + QStringLiteral("/.config")},
        {"XDG_DATA_HOME", home + QStringLiteral("/.local/share")},
        {"XDG_RUNTIME_DIR", dir + QStringLiteral("/run")},
        {"LANG", QStringLiteral("C.UTF-8")},
        {"DBUS_SYSTEM_BUS_ADDRESS", QStringLiteral("unix:path=%1/system_bus").arg(dir)},
        {"DBUS_SESSION_BUS_ADDRESS", QStringLiteral("unix:path=%1/session_bus").arg(dir)},
    };
    for (const auto& [name, value] : environment) {
        m_savedEnvironment.emplace_back(name, qgetenv(name));
        qputenv(name, value.toUtf8());
    }
    QDir().mkpath(dir + QStringLiteral("/run"));
    QFile::setPermissions(dir + QStringLiteral("/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // The extension answers the program the backend runs in: this test.
    const QString installed = extensions + QLatin1String(kUuid);
    if (!copyFolder(QStringLiteral(VANTOR_GNOME_EXTENSION_DIR "/legacy/") + QLatin1String(kUuid),
                    installed) ||
        !copyFolder(QStringLiteral(VANTOR_TEST_SOURCE_DIR "/support/gnome-helper"),
                    extensions + QLatin1String(kHelperUuid)) ||
        !QFile::remove(installed + QStringLiteral("/agent-executables")) ||
        !writeTestFile(installed + QStringLiteral("/agent-executables"),
                       QFile::symLinkTarget(QStringLiteral("/proc/self/exe")).toUtf8()))
        return;

    for (const QString& type : {QStringLiteral("system"), QStringLiteral("session")}) {
        const QString socket = dir + QLatin1Char('/') + type + QStringLiteral("_bus");
        const QString config = dir + QLatin1Char('/') + type + QStringLiteral(".conf");
        writeTestFile(config, busConfig(type, socket).toUtf8());
        m_pids.push_back(
            spawnProgram({"dbus-daemon", "--nofork", "--config-file=" + local(config)}));
        if (!waitUntil([&] { return QFileInfo::exists(socket); }))
            return;
    }
    if (!setExtensionEnabled(true))
        return;
    m_pids.push_back(
        spawnProgram({"sh", "-c",
                      "exec gnome-shell --headless --wayland --no-x11 --wayland-display=" +
                          local(waylandDisplay()) + " --virtual-monitor 800x600 >" + local(dir) +
                          "/shell.log 2>&1"}));
    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    m_ready = bus && waitUntil(
                         [&] {
                             return bus->isServiceRegistered(
                                        QStringLiteral("com.keyloft.VantorCompanion.Shell")) &&
                                    bus->isServiceRegistered(
                                        QStringLiteral("com.keyloft.VantorCompanion.TestHelper"));
                         },
                         std::chrono::seconds(30));
}

GnomeDesktop::~GnomeDesktop() {
    for (auto pid = m_pids.rbegin(); pid != m_pids.rend(); ++pid)
        stopProgram(*pid);
    waitUntil([] { return ::waitpid(-1, nullptr, WNOHANG) < 0; }, std::chrono::seconds(3));
    for (const auto& [name, value] : m_savedEnvironment)
        value.isNull() ? qunsetenv(name.constData()) : qputenv(name.constData(), value);
}

int GnomeDesktop::run(const std::vector<std::string>& argv) const {
    const pid_t pid = spawnProgram(argv);
    int status = -1;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool GnomeDesktop::setExtensionEnabled(bool enabled) const {
    const std::string list = std::string("['") + kHelperUuid + "'" +
                             (enabled ? std::string(", '") + kUuid + "'" : std::string()) + "]";
    return run({"gsettings", "set", "org.gnome.shell", "enabled-extensions", list}) == 0;
}

bool GnomeDesktop::activate(const QString& appId) const {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("com.keyloft.VantorCompanion.TestHelper"),
        QStringLiteral("/com/keyloft/VantorCompanion/TestHelper"),
        QStringLiteral("com.keyloft.VantorCompanion.TestHelper"), QStringLiteral("Activate"));
    call << appId;
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
    return !reply.arguments().isEmpty() && reply.arguments().constFirst().toBool();
}

pid_t GnomeDesktop::startWindow(const QString& appId, const QString& title,
                                const QString& log) const {
    return m_pids.emplace_back(
        spawnProgram({VANTOR_WAYLAND_TEST_CLIENT, "--app-id", local(appId), "--title", local(title),
                      "--log", local(log), "--title-file", local(log) + ".title"},
                     {"QT_QPA_PLATFORM=wayland", "WAYLAND_DISPLAY=" + local(waylandDisplay())}));
}
