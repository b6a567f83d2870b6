#include "Log.h"

#include <QByteArray>
#include <cstdio>
#include <mutex>
#include <syslog.h>

namespace {

// A syslog datagram much larger than this is dropped whole by many receivers, and a reader
// scanning the journal wants one screenful, not a megabyte, per event.
constexpr qsizetype kMaxLineBytes = 4096;

std::mutex& logMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void(const QString&)>& observer() {
    static std::function<void(const QString&)> current;
    return current;
}

// Texts from outside (a workflow label, a window title, a cloud answer) reach the log inside
// lines. A line break would forge a line, a terminal escape would drive the reader's terminal,
// a bidi override or zero-width character would make the line read other than it is, and a
// literal backslash could fake an escape: all of them are written as escapes.
bool needsEscape(char32_t c) {
    if (c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == U'\\')
        return true;
    switch (QChar::category(c)) {
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
    case QChar::Other_Surrogate: // unpaired: UTF-8 has no form for it
        return true;
    default:
        return false;
    }
}

QString escaped(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text[i].unicode();
        const bool pair =
            QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate();
        if (pair)
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
        if (needsEscape(c))
            out += QStringLiteral("\\u{") +
                   QString::number(uint(c), 16).toUpper().rightJustified(4, QLatin1Char('0')) +
                   QLatin1Char('}');
        else
            out += pair ? QStringView(text).mid(i, 2) : QStringView(text).mid(i, 1);
        i += pair ? 1 : 0;
    }
    return out;
}

// Cut at a character boundary and never inside an escape: every backslash starts one.
QByteArray bounded(const QByteArray& line) {
    if (line.size() <= kMaxLineBytes)
        return line;
    const auto marker = [&](qsizetype kept) {
        return QStringLiteral("… (%1 bytes more)").arg(line.size() - kept).toUtf8();
    };
    qsizetype keep = kMaxLineBytes - marker(0).size();
    while (keep > 0 && (uchar(line[keep]) & 0xc0) == 0x80)
        --keep;
    const qsizetype escape = line.lastIndexOf('\\', keep - 1);
    if (escape >= 0 && line.indexOf('}', escape) >= keep)
        keep = escape;
    return line.left(keep) + marker(keep);
}

} // namespace

void logEvent(const QString& text) {
    const QByteArray bytes = bounded(escaped(text).toUtf8());
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
        observer()(QString::fromUtf8(bytes));
}

void logEvent(const QString& title, const QString& detail) {
    logEvent(title + QStringLiteral(" — ") + detail);
}

void setLogObserver(std::function<void(const QString&)> function) {
    std::lock_guard lock(logMutex());
    observer() = std::move(function);
}
