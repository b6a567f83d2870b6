#include "PulseServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cstring>
#include <optional>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kStartMs = 10000;
constexpr int kStopMs = 5000;

// True when a client connection to the socket is accepted.
bool acceptsConnections(const QString& path) {
    const QByteArray bytes = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (bytes.size() >= static_cast<qsizetype>(sizeof(address.sun_path)))
        return false;
    memcpy(address.sun_path, bytes.constData(), static_cast<size_t>(bytes.size()));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok =
        fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

} // namespace

struct PulseServer::State {
    QStringList arguments{QStringLiteral("-n"),
                          QStringLiteral("--daemonize=no"),
                          QStringLiteral("--exit-idle-time=-1"),
                          QStringLiteral("--use-pid-file=no"),
                          QStringLiteral("--realtime=no"),
                          QStringLiteral("--high-priority=no"),
                          QStringLiteral("--log-target=stderr")};
    QTemporaryDir dir;
    QProcess process;
    std::optional<QByteArray> savedAddress;

    QString runtimeDir() const { return dir.path() + QStringLiteral("/run"); }
    QString socketPath() const { return runtimeDir() + QStringLiteral("/pulse/native"); }
    QString logPath() const { return dir.path() + QStringLiteral("/pulse.log"); }
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
    QFile::setPermissions(m->runtimeDir(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
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
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("PULSE_SERVER"));
    environment.insert(QStringLiteral("HOME"), m->dir.path());
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m->runtimeDir());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                       m->dir.path() + QStringLiteral("/config"));
    m->process.setProcessEnvironment(environment);
    m->process.setStandardOutputFile(m->logPath(), QIODevice::Append);
    m->process.setStandardErrorFile(m->logPath(), QIODevice::Append);
    m->process.start(QStringLiteral("pulseaudio"), m->arguments);
    const QDeadlineTimer deadline(kStartMs);
    while (m->process.waitForStarted(kStartMs) && !acceptsConnections(m->socketPath())) {
        if (deadline.hasExpired() || m->process.state() != QProcess::Running)
            break;
        QThread::msleep(5);
    }
    if (!acceptsConnections(m->socketPath()))
        stop();
    return isRunning();
}

void PulseServer::stop() {
    if (m->process.state() == QProcess::NotRunning)
        return;
    m->process.terminate();
    if (!m->process.waitForFinished(kStopMs)) {
        m->process.kill();
        m->process.waitForFinished(kStopMs);
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
    process.waitForFinished(kStartMs);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}
