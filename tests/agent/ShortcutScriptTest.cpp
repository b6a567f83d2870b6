#include "ShortcutScript.h"

#include "AgentError.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* name;
    QString chord;
    QString expected; // the script, or the refusal's message
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

const QString kTell = QStringLiteral("tell application \"System Events\" to ");

QString keystroke(const QString& quoted, const QString& clause = {}) {
    return kTell + QStringLiteral("keystroke \"") + quoted + QLatin1Char('"') + clause;
}
QString keyCode(int code, const QString& clause = {}) {
    return kTell + QStringLiteral("key code ") + QString::number(code) + clause;
}

class ShortcutScripts : public testing::TestWithParam<Case> {};

TEST_P(ShortcutScripts, Produce) {
    const Case& c = GetParam();
    QString outcome;
    try {
        outcome = shortcutScript(c.chord);
    } catch (const AgentError& error) {
        outcome = error.message();
    }
    EXPECT_EQ(outcome.toStdString(), c.expected.toStdString());
}

const QString k80 = QStringLiteral("a+") + QStringLiteral("shift+").repeated(13);
const QString kThirteenShifts =
    QStringLiteral(" using {") +
    QStringList(13, QStringLiteral("shift down")).join(QStringLiteral(", ")) + QLatin1Char('}');

// clang-format off
INSTANTIATE_TEST_SUITE_P(Chords, ShortcutScripts, testing::Values(
    Case{"CommandShiftK", QStringLiteral("command+shift+k"), keystroke(QStringLiteral("k"), QStringLiteral(" using {command down, shift down}"))},
    Case{"CapitalsTypeLowerCase", QStringLiteral("Command+Shift+K"), keystroke(QStringLiteral("k"), QStringLiteral(" using {command down, shift down}"))},
    Case{"SpacesAroundPieces", QStringLiteral("Control + Left"), keyCode(123, QStringLiteral(" using {control down}"))},
    Case{"NamedKeyAlone", QStringLiteral("return"), keyCode(36)},
    Case{"GraveAccent", QStringLiteral("command+`"), keyCode(50, QStringLiteral(" using {command down}"))},
    Case{"FirstKeyWins", QStringLiteral("option+e+x"), keystroke(QStringLiteral("e"), QStringLiteral(" using {option down}"))},
    Case{"ModifierAfterKeyCounts", QStringLiteral("k+command"), keystroke(QStringLiteral("k"), QStringLiteral(" using {command down}"))},
    Case{"EmptyPiecesDropped", QStringLiteral("command++k"), keystroke(QStringLiteral("k"), QStringLiteral(" using {command down}"))},
    Case{"RepeatedModifier", QStringLiteral("shift+shift+a"), keystroke(QStringLiteral("a"), QStringLiteral(" using {shift down, shift down}"))},
    Case{"QuoteIsEscaped", QStringLiteral("command+\""), keystroke(QStringLiteral("\\\""), QStringLiteral(" using {command down}"))},
    Case{"BackslashIsNot", QStringLiteral("\\"), keystroke(QStringLiteral("\\"))},
    Case{"ClusterIsOneCharacter", QStringLiteral("e\u0301"), keystroke(QStringLiteral("e\u0301"))},
    Case{"EightyCharacters", k80, keystroke(QStringLiteral("a"), kThirteenShifts)},
    Case{"EightyOneCharacters", QStringLiteral(" ") + k80, QStringLiteral("Shortcut must be a short key chord")},
    Case{"OnlyModifiers", QStringLiteral("command+shift"), QStringLiteral("Shortcut is missing a key")},
    Case{"UnknownModifierIsTheKey", QStringLiteral("cmd+k"), QStringLiteral("Unsupported shortcut key: cmd")},
    Case{"TabOnlyPieceIsEmptyKey", QStringLiteral("command+\t+k"), QStringLiteral("Unsupported shortcut key: ")},
    Case{"NewlineIsNotTrimmedFromPiece", QStringLiteral("a\n+b"), QStringLiteral("Unsupported shortcut key: a\n")}));
// clang-format on

} // namespace
