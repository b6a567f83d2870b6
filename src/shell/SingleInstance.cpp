#include "SingleInstance.h"

#include "CommandLine.h"
#include "Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kHandOverTimeoutMs = 3000;

// Whoever can write in the socket's folder can listen in the agent's place and receive the
// pairing secret: the folder must be a real folder (not a link), this user's, closed to others.
// The empty text when it is; else why not.
QString unfitness(const QString& folder) {
    struct stat info {};
    if (::lstat(QFile::encodeName(folder).constData(), &info) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("not a folder");
    if (info.st_uid != ::geteuid())
        return QStringLiteral("owned by uid %1").arg(info.st_uid);
    if (info.st_mode & (S_IRWXG | S_IRWXO))
        return QStringLiteral("open to other users");
    return {};
}

// Without a usable runtime folder (su, ssh or cron without a login session), a folder of the
// user's own under the cache home; never a shared one such as /tmp.
QString socketFolder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && unfitness(runtime).isEmpty() &&
        ::access(QFile::encodeName(runtime).constData(), W_OK) == 0)
        return runtime;
    const QString fallback =
        QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
        QStringLiteral("/vantor-companion");
    QDir().mkpath(QFileInfo(fallback).path());
    ::mkdir(QFile::encodeName(fallback).constData(), 0700);
    if (const QString why = unfitness(fallback); !why.isEmpty()) {
        logEvent(QStringLiteral("Refused the folder for the single-instance socket"),
                 fallback + QStringLiteral(": ") + why);
        return {};
    }
    return fallback;
}

} // namespace

SingleInstance::SingleInstance() : m_dir(socketFolder()) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::socketPath() const {
    return m_dir + QStringLiteral("/vantor-companion.sock");
}

SingleInstance::Role SingleInstance::claim(const QString& argument) {
    if (m_dir.isEmpty())
        return Role::Failed;
    QLockFile lock(m_dir + QStringLiteral("/vantor-companion.lock"));
    lock.setStaleLockTime(0);
    if (!lock.tryLock(kHandOverTimeoutMs)) {
        logEvent(QStringLiteral("Single-instance lock unavailable"), lock.fileName());
        return listen() ? Role::Primary : Role::Failed;
    }
    if (handOver(argument))
        return Role::HandedOver;
    return listen() ? Role::Primary : Role::Failed;
}

bool SingleInstance::handOver(const QString& argument) {
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(kHandOverTimeoutMs))
        return false;
    // Only root could have put another user's listener in the user's own folder; it gets
    // nothing, and this instance becomes the agent in its place.
    ucred listener{};
    socklen_t size = sizeof listener;
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &listener, &size) !=
            0 ||
        listener.uid != ::geteuid()) {
        logEvent(QStringLiteral("Handed nothing over"),
                 QStringLiteral("%1 is held by uid %2, not by this user")
                     .arg(socketPath())
                     .arg(qint64(size == sizeof listener ? listener.uid : -1)));
        return false;
    }
    socket.write(argument.toUtf8().left(kMaxPairingTextBytes));
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(kHandOverTimeoutMs);
    return true;
}

bool SingleInstance::listen() {
    // Nobody answered, so a socket file still there was left by an agent that is gone.
    QLocalServer::removeServer(socketPath());
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(socketPath())) {
        logEvent(QStringLiteral("Could not listen for links"),
                 socketPath() + QStringLiteral(": ") + m_server->errorString());
        m_server.reset();
        return false;
    }
    QObject::connect(m_server.get(), &QLocalServer::newConnection, this,
                     [this] { acceptConnections(); });
    return true;
}

void SingleInstance::acceptConnections() {
    struct Received {
        QByteArray bytes;
        bool overflow = false;
    };
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        auto received = std::make_shared<Received>();
        QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, received] {
            received->bytes.append(socket->readAll());
            if (received->bytes.size() > kMaxPairingTextBytes) {
                received->overflow = true;
                socket->abort();
            }
        });
        QObject::connect(socket, &QLocalSocket::disconnected, this, [this, socket, received] {
            received->bytes.append(socket->readAll());
            socket->deleteLater();
            if (received->overflow || received->bytes.size() > kMaxPairingTextBytes) {
                logEvent(QStringLiteral("Ignored a handed-over argument"),
                         QStringLiteral("it is larger than a pairing text can be"));
                return;
            }
            if (onArgument)
                onArgument(QString::fromUtf8(received->bytes));
        });
    }
}
