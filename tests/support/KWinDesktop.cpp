#include "KWinDesktop.h"

#include "TempEnvironment.h"
#include "XDesktop.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace {

// Where KDE looks for desktop entries (and for the menu that lists them): the test's own
// folders, then the system's.
const auto dataDirs = [] {
    return "XDG_DATA_DIRS=" + qgetenv("XDG_DATA_DIRS").toStdString() +
           ":/usr/local/share:/usr/share";
};
const auto configDirs = [] {
    return "XDG_CONFIG_DIRS=" + qgetenv("XDG_CONFIG_DIRS").toStdString() + ":/etc/xdg";
};

bool kwinOnBus() {
    QDBusConnection bus = QDBusConnection::connectToBus(
        qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("vantor-kwin-fixture"));
    const bool there = bus.isConnected() &&
                       bus.interface()->isServiceRegistered(QStringLiteral("org.kde.KWin")).value();
    QDBusConnection::disconnectFromBus(bus.name());
    return there;
}

} // namespace

KWinDesktop::KWinDesktop() {
    setEnvironment("WAYLAND_DISPLAY", "vantor-kwin");
    setEnvironment("DBUS_SESSION_BUS_ADDRESS",
                   "unix:path=" + m_dir.filePath(QStringLiteral("bus")).toUtf8());
    m_pids.push_back(
        spawnProgram({"dbus-daemon", "--session", "--nofork",
                      "--address=" + qgetenv("DBUS_SESSION_BUS_ADDRESS").toStdString()}));
    if (!waitUntil([&] { return QFile::exists(m_dir.filePath(QStringLiteral("bus"))); },
                   std::chrono::seconds(10)))
        return;

    // KWin lets a client use fake input when the desktop entry for its executable says so. It
    // looks the entry up in KDE's application index of its own framework version (kbuildsycoca5
    // for KWin 5, 6 for 6), which indexes only what an applications menu lists: Plasma ships one
    // and names it by XDG_MENU_PREFIX, so the test system gets a minimal one of its own.
    const QString self = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    writeTestFile(qEnvironmentVariable("XDG_DATA_HOME") +
                      QStringLiteral("/applications/vantor-kwin-test.desktop"),
                  "[Desktop Entry]\nType=Application\nName=KWin test\nExec=" + self.toUtf8() +
                      "\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n");
    writeTestFile(qEnvironmentVariable("XDG_CONFIG_HOME") +
                      QStringLiteral("/menus/vantor-applications.menu"),
                  "<!DOCTYPE Menu PUBLIC \"-//freedesktop//DTD Menu 1.0//EN\" "
                  "\"http://www.freedesktop.org/standards/menu-spec/menu-1.0.dtd\">\n"
                  "<Menu><Name>Applications</Name><DefaultAppDirs/><DefaultDirectoryDirs/>"
                  "<Include><All/></Include></Menu>\n");
    setEnvironment("XDG_MENU_PREFIX", "vantor-");
    QProcess version;
    version.start(QStringLiteral("kwin_wayland"), {QStringLiteral("--version")});
    version.waitForFinished(10000);
    // "kwin 6.3.6"
    const QByteArray major =
        version.readAllStandardOutput().split(' ').value(1).split('.').value(0);
    runProgram({"env", dataDirs(), configDirs(), "LANG=C.UTF-8",
                "kbuildsycoca" + (major.isEmpty() ? std::string("5") : major.toStdString()),
                "--noincremental"});
    // The packaged binary carries a file capability that fails exec for unprivileged users; a
    // copy has none. Its name must stay kwin_wayland for its Qt platform plugin to load.
    QDir().mkpath(m_dir.filePath(QStringLiteral("bin")));
    QFile::copy(QStringLiteral("/usr/bin/kwin_wayland"),
                m_dir.filePath(QStringLiteral("bin/kwin_wayland")));
    m_ready = startKWin();
}

bool KWinDesktop::startKWin() {
    m_pids.push_back(
        spawnProgram({m_dir.filePath(QStringLiteral("bin/kwin_wayland")).toStdString(), "--virtual",
                      "--width", "800", "--height", "600", "--socket", "vantor-kwin",
                      "--no-lockscreen", "--no-global-shortcuts", "--no-kactivities"},
                     {"KWIN_COMPOSE=Q", "LANG=C.UTF-8", dataDirs(), configDirs()}));
    return waitUntil(kwinOnBus, std::chrono::seconds(20));
}

bool KWinDesktop::restart(const std::function<void()>& whileAway) {
    stopProgram(m_pids.back());
    m_pids.pop_back();
    if (whileAway)
        whileAway();
    QFile::remove(qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/vantor-kwin.lock"));
    return m_ready = startKWin();
}
