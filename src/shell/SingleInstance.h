#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QLocalServer;
class QLockFile;

// One agent per user. The first process listens on a private local socket in $XDG_RUNTIME_DIR;
// a later start hands its argument (a vantor:// link or pasted pairing text) to it and exits.
// A lock file makes the "is anyone listening, else listen" step atomic between two processes
// started at the same moment; a socket left by a crashed agent is replaced. The argument goes
// only to a listener of the same user.
class SingleInstance : public QObject {
public:
    enum class Role { Primary, HandedOver, Failed };

    // The socket's folder is $XDG_RUNTIME_DIR when that is a real folder of this user, closed to
    // others and writable; else $XDG_CACHE_HOME/vantor-companion (created 0700), when that
    // passes the same check. With neither, a log line names the folder and claim() fails.
    SingleInstance();
    ~SingleInstance() override;

    // Becomes the primary instance, or hands `argument` to the running one. Failed means
    // neither worked: the caller runs on as the agent without the hand-over route.
    Role claim(const QString& argument);

    // Called on the main thread with each argument a later start hands over.
    std::function<void(const QString&)> onArgument;

    QString socketPath() const;

private:
    bool handOver(const QString& argument);
    bool listen();
    void acceptConnections();

    QString m_dir;
    std::unique_ptr<QLocalServer> m_server;
};
