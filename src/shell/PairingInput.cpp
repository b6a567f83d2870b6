#include "PairingInput.h"

#include "DefaultConsoleUrl.h"
#include "Text.h"

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <algorithm>
#include <vector>

namespace {

struct QueryItem {
    QString name;
    std::optional<QString> value;
};

QString percentDecoded(QStringView text) {
    // "+" is an ordinary character in these links, never a space.
    return QString::fromUtf8(QByteArray::fromPercentEncoding(text.toUtf8()));
}

std::vector<QueryItem> queryItems(const QString& link) {
    std::vector<QueryItem> items;
    const qsizetype mark = link.indexOf(QLatin1Char('?'));
    if (mark < 0)
        return items;
    qsizetype end = link.indexOf(QLatin1Char('#'), mark + 1);
    if (end < 0)
        end = link.size();
    const QStringView query = QStringView(link).mid(mark + 1, end - mark - 1);
    for (const QStringView item : query.split(QLatin1Char('&'))) {
        const qsizetype equals = item.indexOf(QLatin1Char('='));
        if (equals < 0)
            items.push_back({percentDecoded(item), std::nullopt});
        else
            items.push_back(
                {percentDecoded(item.left(equals)), percentDecoded(item.mid(equals + 1))});
    }
    return items;
}

QString withoutOneTrailingSlash(QString url) {
    if (url.endsWith(QLatin1Char('/')))
        url.chop(1);
    return url;
}

// A code names one path segment of every cloud request: nothing in it may end or escape that
// segment, and "." or ".." would name another path. Invisible format characters would let the
// code shown in a question differ from the one used.
bool isUsableCode(const QString& code) {
    if (code == QLatin1String(".") || code == QLatin1String(".."))
        return false;
    return std::none_of(code.begin(), code.end(), [](QChar c) {
        return c == u'/' || c == u'?' || c == u'#' || c == u'%' || c.isSpace() ||
               c.category() == QChar::Other_Control || c.category() == QChar::Other_Format;
    });
}

// The cloud address must say plainly where requests go: user information before the host, a
// query or a fragment would make a look-alike of another console or bend every request path.
bool isPlainCloudUrl(const QString& cloud) {
    if (cloud.contains(QLatin1Char('?')) || cloud.contains(QLatin1Char('#')))
        return false;
    const qsizetype hostStart = cloud.indexOf(QLatin1String("//"));
    if (hostStart < 0)
        return true;
    const qsizetype pathStart = cloud.indexOf(QLatin1Char('/'), hostStart + 2);
    return !cloud.mid(hostStart + 2, pathStart < 0 ? -1 : pathStart - hostStart - 2)
                .contains(QLatin1Char('@'));
}

std::optional<Pairing> parseLink(const QString& text) {
    const auto items = queryItems(text);
    const auto first = [&](const char* name) -> std::optional<QString> {
        for (const QueryItem& item : items)
            if (item.name == QLatin1String(name))
                return item.value;
        return std::nullopt;
    };
    const auto cloud = first("cloud");
    const auto code = first("code");
    const auto secret = first("secret");
    if (!cloud || !code || !secret || cloud->isEmpty() || code->isEmpty() || secret->isEmpty())
        return std::nullopt;
    const QString url = withoutOneTrailingSlash(*cloud);
    if (!isCloudOrigin(url))
        return std::nullopt;
    return Pairing{url, *code, *secret};
}

// Key and value of a NAME=value token: "=" signs that would close an empty key are skipped,
// the first one after a non-empty key splits, and the rest is the value, taken whole.
std::optional<std::pair<QString, QString>> assignment(const QString& token) {
    const QStringList pieces = splitAtGraphemes(token, {QStringLiteral("=")});
    if (pieces.isEmpty())
        return std::nullopt;
    const QString& key = pieces.front();
    // Only "=" signs stand before the key, so its first occurrence is the key itself.
    const qsizetype keyEnd = token.indexOf(key) + key.size();
    const QString value = token.mid(keyEnd + 1);
    if (keyEnd >= token.size() || value.isEmpty())
        return std::nullopt;
    return std::pair{key, value};
}

std::optional<Pairing> parseCommand(const QString& text) {
    std::optional<QString> cloud, code, secret;
    for (const QString& token :
         splitAtGraphemes(text, {QStringLiteral(" "), QStringLiteral("\n")})) {
        const auto pair = assignment(token);
        if (!pair)
            continue;
        if (pair->first == QLatin1String("VANTOR_CLOUD_URL"))
            cloud = pair->second;
        else if (pair->first == QLatin1String("VANTOR_PAIR_CODE"))
            code = pair->second;
        else if (pair->first == QLatin1String("VANTOR_PAIR_SECRET"))
            secret = pair->second;
    }
    if (!cloud || !code || !secret)
        return std::nullopt;
    return Pairing{withoutOneTrailingSlash(*cloud), *code, *secret};
}

std::optional<Pairing> parseShort(const QString& text) {
    const QStringList words = splitAtGraphemes(text, {QStringLiteral(" ")});
    if (words.size() < 2 || graphemeCount(words[0]) != 6)
        return std::nullopt;
    return Pairing{words.size() > 2 ? words[2] : defaultConsoleUrl(), words[0].toUpper(), words[1]};
}

} // namespace

bool isCloudOrigin(const QString& cloudUrl) {
    const QUrl url(cloudUrl, QUrl::StrictMode);
    return isPlainCloudUrl(cloudUrl) && url.isValid() && !url.scheme().isEmpty() &&
           !url.host().isEmpty() && url.path().isEmpty();
}

std::optional<Pairing> parsePairingInput(const QString& input) {
    const QString text = trimmedText(input);
    if (text.isEmpty())
        return std::nullopt;
    std::optional<Pairing> pairing;
    if (text.startsWith(QLatin1String("vantor://"), Qt::CaseInsensitive) &&
        QUrl(text, QUrl::StrictMode).isValid())
        pairing = parseLink(text);
    else if (text.contains(QLatin1String("VANTOR_PAIR_CODE")))
        pairing = parseCommand(text);
    else
        pairing = parseShort(text);
    if (pairing && (!isUsableCode(pairing->code) || !isPlainCloudUrl(pairing->cloudUrl)))
        return std::nullopt;
    return pairing;
}
