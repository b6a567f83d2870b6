#include "ShortcutScript.h"

#include "AgentError.h"

#include <gtest/gtest.h>

namespace {

const QString kTell = QStringLiteral("tell application \"System Events\" to ");

QString keystroke(const QString& quoted, const QString& clause = {}) {
    return kTell + QStringLiteral("keystroke \"") + quoted + QLatin1Char('"') + clause;
}
QString keyCode(int code, const QString& clause = {}) {
    return kTell + QStringLiteral("key code ") + QString::number(code) + clause;
}

const QString k80 = QStringLiteral("a+") + QStringLiteral("shift+").repeated(13);
const QString kThirteenShifts =
    QStringLiteral(" using {") +
    QStringList(13, QStringLiteral("shift down")).join(QStringLiteral(", ")) + QLatin1Char('}');

TEST(ShortcutScript, ChordsGiveScriptsOrRefusals) {
    // clang-format off
    const struct {
        const char* name;
        QString chord;
        QString expected; // the script, or the refusal's message
    } cases[] = {
        {"CommandShiftK", QStringLiteral("command+shift+k"), keystroke(QStringLiteral("k"), QStringLiteral(" using {command down, shift down}"))},
        {"CapitalsTypeLowerCase", QStringLiteral("Command+Shift+K"), keystroke(QStringLiteral("k"), QStringLiteral(" using {command down, shift down}"))},
        {"SpacesAroundPieces", QStringLiteral("Control + Left"), keyCode(123, QStringLiteral(" using {control down}"))},
        {"NamedKeyAlone", QStringLiteral("return"), keyCode(36)},
        {"GraveAccent", QStringLiteral("command+`"), keyCode(50, QStringLiteral(" using {command down}"))},
        {"FirstKeyWins", QStringLiteral("option+e+x"), keystroke(QStringLiteral("e"), QStringLiteral(" using {option down}"))},
        {"ModifierAfterKeyCounts", QStringLiteral("k+command"), keystroke(QStringLiteral("k"), QStringLiteral(" using {command down}"))},
        {"EmptyPiecesDropped", QStringLiteral("command++k"), keystroke(QStringLiteral("k"), QStringLiteral(" using {command down}"))},
        {"RepeatedModifier", QStringLiteral("shift+shift+a"), keystroke(QStringLiteral("a"), QStringLiteral(" using {shift down, shift down}"))},
        {"QuoteIsEscaped", QStringLiteral("command+\""), keystroke(QStringLiteral("\\\""), QStringLiteral(" using {command down}"))},
        {"BackslashIsNot", QStringLiteral("\\"), keystroke(QStringLiteral("\\"))},
        {"ClusterIsOneCharacter", QStringLiteral("e\u0301"), keystroke(QStringLiteral("e\u0301"))},
        {"EightyCharacters", k80, keystroke(QStringLiteral("a"), kThirteenShifts)},
        {"EightyOneCharacters", QStringLiteral(" ") + k80, QStringLiteral("Shortcut must be a short key chord")},
        {"OnlyModifiers", QStringLiteral("command+shift"), QStringLiteral("Shortcut is missing a key")},
        {"UnknownModifierIsTheKey", QStringLiteral("cmd+k"), QStringLiteral("Unsupported shortcut key: cmd")},
        {"TabOnlyPieceIsEmptyKey", QStringLiteral("command+\t+k"), QStringLiteral("Unsupported shortcut key: ")},
        {"NewlineIsNotTrimmedFromPiece", QStringLiteral("a\n+b"), QStringLiteral("Unsupported shortcut key: a\n")},
    };
    // clang-format on
    for (const auto& c : cases) {
        QString outcome;
        try {
            outcome = shortcutScript(c.chord);
        } catch (const AgentError& error) {
            outcome = error.message();
        }
        EXPECT_EQ(outcome.toStdString(), c.expected.toStdString()) << c.name;
    }
}

} // namespace
