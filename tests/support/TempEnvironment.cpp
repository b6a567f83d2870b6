#include "TempEnvironment.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {
constexpr auto kOwnerOnly =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
}

TempEnvironment::TempEnvironment() {
    const std::pair<const char*, const char*> folders[] = {{"HOME", ""},
                                                           {"XDG_CONFIG_HOME", "/config"},
                                                           {"XDG_DATA_HOME", "/data"},
                                                           {"XDG_CACHE_HOME", "/cache"},
                                                           {"XDG_DATA_DIRS", "/data-dirs"},
                                                           {"XDG_CONFIG_DIRS", "/config-dirs"},
                                                           {"XDG_RUNTIME_DIR", "/run"}};
    for (const auto& [name, sub] : folders) {
        m_saved[name] =
            qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt;
        const QString folder = path() + QLatin1String(sub);
        QDir().mkpath(folder);
        qputenv(name, folder.toUtf8());
    }
    QFile::setPermissions(path() + QStringLiteral("/run"), kOwnerOnly);
}

TempEnvironment::~TempEnvironment() {
    for (const auto& [name, value] : m_saved) {
        if (value)
            qputenv(name, *value);
        else
            qunsetenv(name);
    }
}

QString TempEnvironment::writeScript(const QString& name, const QString& body) const {
    const QString file = path() + QLatin1Char('/') + name;
    writeTestFile(file, "#!/bin/sh\n" + body.toUtf8());
    QFile::setPermissions(file, kOwnerOnly);
    return file;
}

bool writeTestFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}
