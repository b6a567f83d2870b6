#include "ShortcutScript.h"

#include "AgentError.h"
#include "Text.h"

#include <QStringList>
#include <array>
#include <optional>

namespace {

constexpr qsizetype kMaxChordLength = 80;
constexpr int kGraveAccentKeyCode = 50;

const std::array<QLatin1String, 4> kModifierWords{QLatin1String("command"), QLatin1String("shift"),
                                                  QLatin1String("option"),
                                                  QLatin1String("control")};

const QString kScriptStart = QStringLiteral("tell application \"System Events\" to ");

bool isModifier(const QString& piece) {
    for (const QLatin1String word : kModifierWords)
        if (piece == word)
            return true;
    return false;
}

// Only spaces and tabs: other white space inside a chord is part of its key.
QString trimSpacesAndTabs(const QString& piece) {
    qsizetype start = 0;
    qsizetype end = piece.size();
    const auto blank = [&](qsizetype i) { return piece[i] == u' ' || piece[i] == u'\t'; };
    while (start < end && blank(start))
        ++start;
    while (end > start && blank(end - 1))
        --end;
    return piece.mid(start, end - start);
}

} // namespace

const QHash<QString, int>& namedKeyCodes() {
    static const QHash<QString, int> codes{
        {QStringLiteral("left"), 123},  {QStringLiteral("right"), 124},
        {QStringLiteral("down"), 125},  {QStringLiteral("up"), 126},
        {QStringLiteral("return"), 36}, {QStringLiteral("enter"), 36},
        {QStringLiteral("tab"), 48},    {QStringLiteral("space"), 49},
        {QStringLiteral("escape"), 53}, {QStringLiteral("esc"), 53},
        {QStringLiteral("delete"), 51},
    };
    return codes;
}

QString shortcutScript(const QString& keys) {
    if (graphemeCount(keys) > kMaxChordLength)
        throw AgentError::invalid(QStringLiteral("Shortcut must be a short key chord"));

    QStringList modifiers;
    std::optional<QString> key;
    for (const QString& raw : splitAtGraphemes(keys, {QStringLiteral("+")})) {
        const QString piece = trimSpacesAndTabs(raw).toLower();
        if (isModifier(piece))
            modifiers.append(piece + QStringLiteral(" down"));
        else if (!key)
            key = piece;
    }
    if (!key)
        throw AgentError::invalid(QStringLiteral("Shortcut is missing a key"));

    QString body;
    if (*key == QLatin1String("`")) {
        body = kScriptStart + QStringLiteral("key code ") + QString::number(kGraveAccentKeyCode);
    } else if (const auto code = namedKeyCodes().constFind(*key); code != namedKeyCodes().cend()) {
        body = kScriptStart + QStringLiteral("key code ") + QString::number(*code);
    } else if (graphemeCount(*key) == 1) {
        QString escaped = *key;
        escaped.replace(QLatin1Char('"'), QStringLiteral("\\\""));
        body = kScriptStart + QStringLiteral("keystroke \"") + escaped + QLatin1Char('"');
    } else {
        throw AgentError::invalid(QStringLiteral("Unsupported shortcut key: ") + *key);
    }

    if (!modifiers.isEmpty())
        body +=
            QStringLiteral(" using {") + modifiers.join(QStringLiteral(", ")) + QLatin1Char('}');
    return body;
}
