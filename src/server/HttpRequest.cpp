#include "HttpRequest.h"

#include "Text.h"

#include <QByteArrayView>
#include <QStringView>
#include <QTextBoundaryFinder>
#include <limits>

namespace {

// A separator cuts only where it is a whole user-perceived character: followed by a combining
// mark it belongs to another character. Pure ASCII text (the usual request) needs no lookup,
// since there every character stands alone (CR LF never occurs inside a header line).
class Cuts {
public:
    explicit Cuts(const QString& text) : m_text(text) {
        for (const QChar c : text) {
            if (c.unicode() >= 0x80) {
                m_finder.emplace(QTextBoundaryFinder::Grapheme, text);
                break;
            }
        }
    }

    // Index of the next separator at or after `from` that stands alone, or -1.
    qsizetype next(QChar separator, qsizetype from) {
        for (qsizetype at = m_text.indexOf(separator, from); at >= 0;
             at = m_text.indexOf(separator, at + 1)) {
            if (!m_finder || (isBoundary(at) && isBoundary(at + 1)))
                return at;
        }
        return -1;
    }

private:
    bool isBoundary(qsizetype position) {
        m_finder->setPosition(position);
        return m_finder->isAtBoundary();
    }

    const QString& m_text;
    std::optional<QTextBoundaryFinder> m_finder;
};

struct SplitOnce {
    std::optional<QString> first;
    std::optional<QString> second;
};

// At most one cut, empty pieces dropped: leading separators are skipped, the first piece ends at
// the next separator, and everything after it (further separators included) is the second.
SplitOnce splitOnce(const QString& text, QChar separator) {
    Cuts cuts(text);
    qsizetype start = 0;
    while (cuts.next(separator, start) == start)
        ++start;
    if (start >= text.size())
        return {};
    const qsizetype cut = cuts.next(separator, start);
    if (cut < 0 || cut + 1 >= text.size())
        return {text.mid(start, cut < 0 ? -1 : cut - start), std::nullopt};
    return {text.mid(start, cut - start), text.mid(cut + 1)};
}

// Spaces (every Unicode space separator) and tabs, not line breaks.
QString trimmedBlanks(const QString& text) {
    const auto blank = [](QChar c) {
        return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space;
    };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

// An optional sign and one or more ASCII digits within the signed 64-bit range; 0 otherwise.
qint64 contentLength(const QString& text) {
    qsizetype at = 0;
    const bool negative = text.startsWith(QLatin1Char('-'));
    if (negative || text.startsWith(QLatin1Char('+')))
        at = 1;
    if (at == text.size())
        return 0;
    // Accumulated as a negative number so that the most negative value fits.
    qint64 value = 0;
    for (; at < text.size(); ++at) {
        const char16_t c = text[at].unicode();
        if (c < u'0' || c > u'9')
            return 0;
        const int digit = c - u'0';
        if (value < (std::numeric_limits<qint64>::min() + digit) / 10)
            return 0;
        value = value * 10 - digit;
    }
    if (!negative && value == std::numeric_limits<qint64>::min())
        return 0;
    return negative ? value : -value;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Every "%XY" becomes the byte it names and the result is read as UTF-8; a stray "%" or bytes
// that are not UTF-8 fail the whole piece.
std::optional<QString> percentDecoded(const QString& text) {
    if (!text.contains(QLatin1Char('%')))
        return text;
    const QByteArray encoded = text.toUtf8();
    QByteArray bytes;
    bytes.reserve(encoded.size());
    for (qsizetype at = 0; at < encoded.size(); ++at) {
        if (encoded[at] != '%') {
            bytes.append(encoded[at]);
            continue;
        }
        const int high = at + 1 < encoded.size() ? hexValue(encoded[at + 1]) : -1;
        const int low = at + 2 < encoded.size() ? hexValue(encoded[at + 2]) : -1;
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.append(char(high * 16 + low));
        at += 2;
    }
    if (!isValidUtf8(bytes))
        return std::nullopt;
    return QString::fromUtf8(bytes);
}

QMap<QString, QString> parseQuery(const QString& query) {
    QMap<QString, QString> items;
    for (const QString& token : splitAtGraphemes(query, {QStringLiteral("&")})) {
        const SplitOnce pieces = splitOnce(token, QLatin1Char('='));
        if (!pieces.first)
            continue;
        QString value;
        if (pieces.second) {
            // Done before decoding, so an encoded "%2B" survives as a plus sign.
            const QString spaced =
                QString(*pieces.second).replace(QLatin1Char('+'), QLatin1Char(' '));
            value = percentDecoded(spaced).value_or(spaced);
        }
        items.insert(percentDecoded(*pieces.first).value_or(*pieces.first), value);
    }
    return items;
}

} // namespace

std::optional<HttpRequest> HttpRequest::parse(QByteArrayView buffer) {
    const qsizetype separator = buffer.indexOf(QByteArrayView("\r\n\r\n"));
    if (separator < 0)
        return std::nullopt;
    qint64 length = 0;
    std::optional<HttpRequest> request = parseHead(buffer.first(separator), &length);
    const qsizetype bodyStart = separator + 4;
    if (!request || length > buffer.size() - bodyStart)
        return std::nullopt;
    if (length > 0)
        request->body = buffer.sliced(bodyStart, length).toByteArray();
    return request;
}

std::optional<HttpRequest> HttpRequest::parseHead(QByteArrayView headerBytes, qint64* bodyLength) {
    if (!isValidUtf8(headerBytes.toByteArray()))
        return std::nullopt;
    const QString headerBlock = QString::fromUtf8(headerBytes);
    const QStringList lines = headerBlock.split(QStringLiteral("\r\n"));

    const QStringList requestLine = splitAtGraphemes(lines.front(), {QStringLiteral(" ")});
    if (requestLine.size() < 2)
        return std::nullopt;

    HttpRequest request;
    request.method = requestLine[0];
    qint64 length = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const SplitOnce pieces = splitOnce(lines[i], QLatin1Char(':'));
        if (!pieces.second)
            continue;
        const QString name = trimmedBlanks(*pieces.first).toLower();
        if (name == QLatin1String("content-length"))
            length = contentLength(trimmedBlanks(*pieces.second));
        else if (name == QLatin1String("host"))
            request.hosts.append(trimmedBlanks(*pieces.second));
        else if (name == QLatin1String("origin"))
            request.origins.append(trimmedBlanks(*pieces.second));
    }
    const SplitOnce target = splitOnce(requestLine[1], QLatin1Char('?'));
    request.path = target.first.value_or(QString());
    if (target.second)
        request.query = parseQuery(*target.second);
    *bodyLength = length;
    return request;
}
