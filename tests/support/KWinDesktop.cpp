#include "KWinDesktop.h"

#include "TempEnvironment.h"
#include "XDesktop.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>
#include <csignal>

namespace {

const QString kSocket = QStringLiteral("vantor-kwin");

std::string environment(const char* name, const QString& value) {
    return std::string(name) + '=' + value.toStdString();
}

// Where KDE looks for desktop entries (and for the menu that lists them): the test's own
// folders, then the system's.
QString dataDirs() {
    return qEnvironmentVariable("XDG_DATA_DIRS") + QStringLiteral(":/usr/local/share:/usr/share");
}
QString configDirs() {
    return qEnvironmentVariable("XDG_CONFIG_DIRS") + QStringLiteral(":/etc/xdg");
}

bool kwinOnBus() {
    const QString name = QStringLiteral("vantor-kwin-fixture");
    bool there = false;
    {
        QDBusConnection bus =
            QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), name);
        there = bus.isConnected() &&
                bus.interface()->isServiceRegistered(QStringLiteral("org.kde.KWin")).value();
    }
    QDBusConnection::disconnectFromBus(name);
    return there;
}

} // namespace

KWinDesktop::KWinDesktop()
    : m_savedBus(qgetenv("DBUS_SESSION_BUS_ADDRESS")), m_savedDisplay(qgetenv("WAYLAND_DISPLAY")) {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QProcess bus;
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--session"), QStringLiteral("--fork"),
               QStringLiteral("--print-address=1"), QStringLiteral("--print-pid=1")});
    if (!bus.waitForFinished(10000))
        return;
    const QStringList lines =
        QString::fromUtf8(bus.readAllStandardOutput()).split(QLatin1Char('\n'));
    if (lines.size() < 2)
        return;
    qputenv("DBUS_SESSION_BUS_ADDRESS", lines[0].toUtf8());
    m_bus = lines[1].toInt();
    qputenv("WAYLAND_DISPLAY", kSocket.toUtf8());

    // KWin lets a client use fake input when the desktop entry for its executable says so.
    const QString self = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    writeTestFile(qEnvironmentVariable("XDG_DATA_HOME") +
                      QStringLiteral("/applications/vantor-kwin-test.desktop"),
                  "[Desktop Entry]\nType=Application\nName=KWin test\nExec=" + self.toUtf8() +
                      "\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n");
    QProcess::execute(QStringLiteral("env"),
                      {QStringLiteral("XDG_DATA_DIRS=") + dataDirs(),
                       QStringLiteral("XDG_CONFIG_DIRS=") + configDirs(),
                       QStringLiteral("LANG=C.UTF-8"), QStringLiteral("kbuildsycoca5"),
                       QStringLiteral("--noincremental")});
    // The packaged binary carries a file capability that fails exec for unprivileged users; a
    // copy has none. Its name must stay kwin_wayland for its Qt platform plugin to load.
    QDir().mkpath(m_dir.filePath(QStringLiteral("bin")));
    QFile::copy(QStringLiteral("/usr/bin/kwin_wayland"),
                m_dir.filePath(QStringLiteral("bin/kwin_wayland")));
    m_ready = startKWin();
}

bool KWinDesktop::startKWin() {
    m_kwin =
        spawnProgram({m_dir.filePath(QStringLiteral("bin/kwin_wayland")).toStdString(), "--virtual",
                      "--width", "800", "--height", "600", "--socket", kSocket.toStdString(),
                      "--no-lockscreen", "--no-global-shortcuts", "--no-kactivities"},
                     {"KWIN_COMPOSE=Q", "LANG=C.UTF-8", environment("XDG_DATA_DIRS", dataDirs()),
                      environment("XDG_CONFIG_DIRS", configDirs())});
    return m_kwin > 0 && waitUntil(kwinOnBus, std::chrono::seconds(20));
}

bool KWinDesktop::restart() {
    stopProgram(m_kwin);
    QFile::remove(qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/') + kSocket +
                  QStringLiteral(".lock"));
    m_ready = startKWin();
    return m_ready;
}

KWinDesktop::~KWinDesktop() {
    stopProgram(m_kwin);
    if (m_bus > 0)
        ::kill(m_bus, SIGTERM); // forked away by dbus-daemon itself: not our child to reap
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_savedBus);
    qputenv("WAYLAND_DISPLAY", m_savedDisplay);
}

WaylandWindow::WaylandWindow(const QString& appId, const QString& title) {
    const QString log = m_dir.filePath(QStringLiteral("keys.log"));
    const QString titleFile = m_dir.filePath(QStringLiteral("title"));
    m_pid = spawnProgram({VANTOR_WAYLAND_TEST_CLIENT, "--app-id", appId.toStdString(), "--title",
                          title.toStdString(), "--log", log.toStdString(), "--title-file",
                          titleFile.toStdString()},
                         {"QT_QPA_PLATFORM=wayland", "LANG=C.UTF-8"});
}

WaylandWindow::~WaylandWindow() {
    stopProgram(m_pid);
}

void WaylandWindow::retitle(const QByteArray& title) const {
    writeTestFile(m_dir.filePath(QStringLiteral("title")), title);
}

QStringList WaylandWindow::keyLog(int count) const {
    QStringList lines;
    waitUntil([&] {
        QFile log(m_dir.filePath(QStringLiteral("keys.log")));
        lines = log.open(QIODevice::ReadOnly)
                    ? QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)
                    : QStringList();
        return lines.size() >= count;
    });
    return lines;
}
