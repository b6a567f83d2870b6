#include "TempEnvironment.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <map>
#include <optional>

namespace {
const char* const kVariables[] = {"HOME",           "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                  "XDG_CACHE_HOME", "XDG_DATA_DIRS",   "XDG_CONFIG_DIRS",
                                  "XDG_RUNTIME_DIR"};
}

struct TempEnvironment::Saved {
    std::map<const char*, std::optional<QByteArray>> values;
};

TempEnvironment::TempEnvironment() : m_saved(new Saved) {
    for (const char* name : kVariables)
        m_saved->values[name] =
            qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt;
    const QString root = m_dir.path();
    for (const char* sub : {"config", "data", "cache", "data-dirs", "config-dirs", "run"})
        QDir(root).mkpath(QString::fromLatin1(sub));
    QFile::setPermissions(root + QStringLiteral("/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("HOME", root.toUtf8());
    qputenv("XDG_CONFIG_HOME", (root + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_HOME", (root + QStringLiteral("/data")).toUtf8());
    qputenv("XDG_CACHE_HOME", (root + QStringLiteral("/cache")).toUtf8());
    qputenv("XDG_DATA_DIRS", (root + QStringLiteral("/data-dirs")).toUtf8());
    qputenv("XDG_CONFIG_DIRS", (root + QStringLiteral("/config-dirs")).toUtf8());
    qputenv("XDG_RUNTIME_DIR", (root + QStringLiteral("/run")).toUtf8());
}

TempEnvironment::~TempEnvironment() {
    for (const auto& [name, value] : m_saved->values) {
        if (value)
            qputenv(name, *value);
        else
            qunsetenv(name);
    }
    delete m_saved;
}

QString TempEnvironment::writeScript(const QString& name, const QString& body) const {
    const QString file = path() + QLatin1Char('/') + name;
    QFile out(file);
    if (out.open(QIODevice::WriteOnly)) {
        out.write("#!/bin/sh\n");
        out.write(body.toUtf8());
        out.close();
    }
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
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
