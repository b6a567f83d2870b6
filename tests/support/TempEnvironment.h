#pragma once

#include <QString>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <map>
#include <optional>

// A private home for one test: HOME and the XDG folders point into a temporary directory for the
// test's lifetime and are restored afterwards.
class TempEnvironment {
public:
    TempEnvironment();
    ~TempEnvironment();

    QString path() const { return m_dir.path(); }
    QString configHome() const { return path() + QStringLiteral("/config"); }
    QString dataHome() const { return path() + QStringLiteral("/data"); }
    // Writes an executable file (a shell script) and returns its path.
    QString writeScript(const QString& name, const QString& body) const;

private:
    QTemporaryDir m_dir;
    std::map<const char*, std::optional<QByteArray>> m_saved;
};

// Writes `bytes` to `path`, creating the folders above it; false when that fails.
bool writeTestFile(const QString& path, const QByteArray& bytes);

// Runs the Qt event loop until `done` holds or `timeout` passes; returns whether it held.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));
