#include "Pairing.h"

#include "Log.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kCloudUrlKey = QStringLiteral("cloudUrl");
const QString kCodeKey = QStringLiteral("pairCode");
const QString kSecretKey = QStringLiteral("pairSecret");

// The folder holds a secret: private when we create it, and made private again when others
// could swap the file inside it.
void ensurePrivateFolder(const QString& folder) {
    const QByteArray name = QFile::encodeName(folder);
    struct stat info {};
    if (::stat(name.constData(), &info) != 0) {
        QDir().mkpath(folder);
        ::chmod(name.constData(), 0700);
    } else if (info.st_mode & (S_IWGRP | S_IWOTH)) {
        ::chmod(name.constData(), 0700);
    }
}

// Qt replaces the file atomically and keeps an existing file's mode, but creates a new file
// with the default mode: the file must exist, private, before the first write. Qt's atomic
// replace also writes through a symbolic link to its target, so a link is replaced by a file of
// our own first. False (with a log line) when no private file can be had.
bool ensurePrivateFile(const QString& path) {
    ensurePrivateFolder(QFileInfo(path).absolutePath());
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::lstat(name.constData(), &info) == 0 && S_ISLNK(info.st_mode)) {
        logEvent(QStringLiteral("Replacing a link with a private pairing file"), path);
        ::unlink(name.constData());
    }
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        logEvent(QStringLiteral("Could not write pairing — %1 is not a private file").arg(path));
        return false;
    }
    ::fchmod(fd, 0600);
    ::close(fd);
    return true;
}

void finish(QSettings& settings, const char* action) {
    settings.sync();
    if (settings.status() != QSettings::NoError)
        logEvent(QStringLiteral("Could not %1 pairing — %2")
                     .arg(QLatin1String(action), Pairing::storePath()));
}

} // namespace

QString Pairing::storePath() {
    // The path is computed on every use (not left to QSettings' process-wide cache), so the
    // store follows $XDG_CONFIG_HOME as it is now.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/vantor-companion/vantor-companion.conf");
}

void Pairing::save() const {
    const QString path = storePath();
    if (!ensurePrivateFile(path))
        return;
    QSettings settings(path, QSettings::IniFormat);
    settings.setValue(kCloudUrlKey, cloudUrl);
    settings.setValue(kCodeKey, code);
    settings.setValue(kSecretKey, secret);
    finish(settings, "save");
}

std::optional<Pairing> Pairing::load(QString* problem) {
    const QString path = storePath();
    if (problem)
        problem->clear();
    if (!QFileInfo::exists(path))
        return std::nullopt;
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        if (problem)
            *problem = settings.status() == QSettings::AccessError
                           ? QStringLiteral("the settings file cannot be read")
                           : QStringLiteral("the settings file is damaged");
        return std::nullopt;
    }
    const auto text = [&](const QString& key) {
        const QVariant value = settings.value(key);
        return value.typeId() == QMetaType::QString ? value.toString() : QString();
    };
    Pairing pairing{text(kCloudUrlKey), text(kCodeKey), text(kSecretKey)};
    if (pairing.cloudUrl.isEmpty() || pairing.code.isEmpty() || pairing.secret.isEmpty()) {
        const bool any = settings.contains(kCloudUrlKey) || settings.contains(kCodeKey) ||
                         settings.contains(kSecretKey);
        if (problem && any)
            *problem = QStringLiteral("the stored pairing is incomplete");
        return std::nullopt;
    }
    return pairing;
}

void Pairing::erase() {
    const QString path = storePath();
    if (!QFileInfo::exists(path) || !ensurePrivateFile(path))
        return;
    QSettings settings(path, QSettings::IniFormat);
    settings.remove(kCloudUrlKey);
    settings.remove(kCodeKey);
    settings.remove(kSecretKey);
    finish(settings, "erase");
}
