#include "Log.h"

#include <QByteArray>
#include <algorithm>
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

// Texts from outside (a workflow label, a window title, a cloud answer) reach the log inside
// lines; a line break or a terminal escape among them would forge lines or drive the reader's
// terminal, so every C0 and C1 control and DEL is written as \xHH and one event stays one line.
QString escapedControls(const QString& line) {
    const auto isControl = [](QChar c) {
        return c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f);
    };
    if (std::none_of(line.begin(), line.end(), isControl))
        return line;
    QString escaped;
    escaped.reserve(line.size() + 8);
    for (const QChar c : line) {
        if (isControl(c))
            escaped += QStringLiteral("\\x%1").arg(uint(c.unicode()), 2, 16, QLatin1Char('0'));
        else
            escaped += c;
    }
    return escaped;
}

} // namespace

void logEvent(const QString& text) {
    const QString line = escapedControls(text);
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
