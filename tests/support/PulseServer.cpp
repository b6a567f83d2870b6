#include "PulseServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <optional>

namespace {
constexpr int kWaitMs = 10000;
}

struct PulseServer::State {
    QTemporaryDir dir;
    QStringList arguments{QStringLiteral("-n"),
                          QStringLiteral("--daemonize=no"),
                          QStringLiteral("--exit-idle-time=-1"),
                          QStringLiteral("--use-pid-file=no"),
                          QStringLiteral("--realtime=no"),
                          QStringLiteral("--high-priority=no"),
                          QStringLiteral("--log-target=stderr")};
    QProcess process;
    std::optional<QByteArray> savedAddress;

    QString socketPath() const { return dir.path() + QStringLiteral("/run/pulse/native"); }
    QString logPath() const { return dir.path() + QStringLiteral("/pulse.log"); }
    bool accepts() const {
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        return socket.waitForConnected(100);
    }
};

PulseServer::PulseServer(QList<Device> sinks, QList<Device> sources)
    : m(std::make_unique<State>()) {
    for (const Device& sink : sinks)
        m->arguments << QStringLiteral("--load=module-null-sink sink_name=%1 "
                                       "sink_properties=\"device.description='%2'\"")
                            .arg(sink.name, sink.description);
    for (const Device& source : sources)
        m->arguments << QStringLiteral("--load=module-null-source source_name=%1 description='%2'")
                            .arg(source.name, source.description);
    // Last, so that a client that can connect finds every device already there.
    m->arguments << QStringLiteral("--load=module-native-protocol-unix socket=%1 auth-anonymous=1")
                        .arg(m->socketPath());
    QDir(m->dir.path()).mkpath(QStringLiteral("run"));
    QFile::setPermissions(m->dir.path() + QStringLiteral("/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("PULSE_SERVER"));
    environment.insert(QStringLiteral("HOME"), m->dir.path());
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m->dir.path() + QStringLiteral("/run"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                       m->dir.path() + QStringLiteral("/config"));
    m->process.setProcessEnvironment(environment);
    m->process.setStandardOutputFile(m->logPath(), QIODevice::Append);
    m->process.setStandardErrorFile(m->logPath(), QIODevice::Append);
    if (qEnvironmentVariableIsSet("PULSE_SERVER"))
        m->savedAddress = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(m->socketPath()));
    start();
}

PulseServer::~PulseServer() {
    stop();
    if (m->savedAddress)
        qputenv("PULSE_SERVER", *m->savedAddress);
    else
        qunsetenv("PULSE_SERVER");
}

bool PulseServer::start() {
    if (isRunning())
        return true;
    m->process.start(QStringLiteral("pulseaudio"), m->arguments);
    const QDeadlineTimer deadline(kWaitMs);
    while (m->process.waitForStarted(kWaitMs) && !m->accepts() && !deadline.hasExpired() &&
           isRunning())
        QThread::msleep(5);
    if (!m->accepts())
        stop();
    return isRunning();
}

void PulseServer::stop() {
    if (!isRunning())
        return;
    m->process.terminate();
    if (!m->process.waitForFinished(kWaitMs)) {
        m->process.kill();
        m->process.waitForFinished(kWaitMs);
    }
}

bool PulseServer::isRunning() const {
    return m->process.state() == QProcess::Running;
}

qint64 PulseServer::processId() const {
    return m->process.processId();
}

QString PulseServer::log() const {
    QFile file(m->logPath());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString PulseServer::pactl(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    process.waitForFinished(kWaitMs);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}
