#include "Log.h"

#include <QByteArray>
#include <cstdio>
#include <mutex>
#include <syslog.h>

namespace {

std::mutex& logMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void(const QString&)>& observer() {
    static std::function<void(const QString&)> current;
    return current;
}

} // namespace

void logEvent(const QString& line) {
    const QByteArray bytes = line.toUtf8();
    std::lock_guard lock(logMutex());
    static const bool opened = [] {
        ::openlog("vantor-companion", LOG_PID, LOG_USER);
        return true;
    }();
    Q_UNUSED(opened);
    ::syslog(LOG_NOTICE, "%s", bytes.constData());
    std::fprintf(stderr, "vantor-companion: %s\n", bytes.constData());
    std::fflush(stderr);
    if (observer())
        observer()(line);
}

void logEvent(const QString& title, const QString& detail) {
    logEvent(title + QStringLiteral(" — ") + detail);
}

void setLogObserver(std::function<void(const QString&)> function) {
    std::lock_guard lock(logMutex());
    observer() = std::move(function);
}
