#include "Text.h"

#include <QByteArray>
#include <QDateTime>
#include <QStringDecoder>
#include <QTextBoundaryFinder>

namespace {

template <typename Visit> void forEachGrapheme(const QString& text, Visit visit) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    for (qsizetype end = finder.toNextBoundary(); end != -1; end = finder.toNextBoundary()) {
        if (end == start)
            continue;
        if (!visit(start, end - start))
            return;
        start = end;
    }
}

} // namespace

qsizetype graphemeCount(const QString& text) {
    qsizetype count = 0;
    forEachGrapheme(text, [&](qsizetype, qsizetype) {
        ++count;
        return true;
    });
    return count;
}

QString graphemePrefix(const QString& text, qsizetype count) {
    qsizetype taken = 0;
    qsizetype length = 0;
    forEachGrapheme(text, [&](qsizetype start, qsizetype size) {
        if (taken == count)
            return false;
        ++taken;
        length = start + size;
        return true;
    });
    return text.left(length);
}

QStringList splitAtGraphemes(const QString& text, const QStringList& separators) {
    QStringList pieces;
    qsizetype pieceStart = 0;
    forEachGrapheme(text, [&](qsizetype start, qsizetype size) {
        const QStringView grapheme = QStringView(text).mid(start, size);
        for (const QString& separator : separators) {
            if (grapheme == separator) {
                if (start > pieceStart)
                    pieces.append(text.mid(pieceStart, start - pieceStart));
                pieceStart = start + size;
                break;
            }
        }
        return true;
    });
    if (pieceStart < text.size())
        pieces.append(text.mid(pieceStart));
    return pieces;
}

QString trimmedText(const QString& text) {
    // QChar::isSpace covers the Unicode separators, tab, U+000A-U+000D and U+0085.
    return text.trimmed();
}

bool isValidUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(bytes);
    Q_UNUSED(decoded);
    return !decoder.hasError();
}

QString decodeUtf8OrEmpty(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = decoder.decode(bytes);
    return decoder.hasError() ? QString() : decoded;
}

QString isoTimestamp(const QDateTime& time) {
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QString isoTimestampNow() {
    return isoTimestamp(QDateTime::currentDateTimeUtc());
}
