#include "PairingInput.h"

#include "DefaultConsoleUrl.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* name;
    QString input;
    std::optional<Pairing> expected;
};

Pairing p(const char* cloud, const char* code, const char* secret) {
    return {QString::fromUtf8(cloud), QString::fromUtf8(code), QString::fromUtf8(secret)};
}

const QString kCommand =
    QStringLiteral("VANTOR_CLOUD_URL=https://c.example "
                   "VANTOR_PAIR_CODE=Ab12cD\nVANTOR_PAIR_SECRET=s3 npx vantor-companion\n");

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class PairingInputCases : public testing::TestWithParam<Case> {};

TEST_P(PairingInputCases, Parses) {
    const Case& c = GetParam();
    const auto result = parsePairingInput(c.input);
    ASSERT_EQ(result.has_value(), c.expected.has_value());
    if (result) {
        EXPECT_EQ(result->cloudUrl.toStdString(), c.expected->cloudUrl.toStdString());
        EXPECT_EQ(result->code.toStdString(), c.expected->code.toStdString());
        EXPECT_EQ(result->secret.toStdString(), c.expected->secret.toStdString());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, PairingInputCases,
    testing::Values(
        Case{"Empty", QString(), std::nullopt},
        Case{"OnlyWhiteSpace", QStringLiteral(" \t\n\r\u2028\u00a0"), std::nullopt},
        // Command form.
        Case{"Command", kCommand, p("https://c.example", "Ab12cD", "s3")},
        Case{"CommandAnyOrder",
             QStringLiteral("VANTOR_PAIR_SECRET=s VANTOR_PAIR_CODE=C VANTOR_CLOUD_URL=U run"),
             p("U", "C", "s")},
        Case{"CommandDropsOneSlash",
             QStringLiteral("VANTOR_CLOUD_URL=https://u// VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S"),
             p("https://u/", "C", "S")},
        Case{"CommandWithoutCloud", QStringLiteral("VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S"),
             std::nullopt},
        Case{"CommandValueKeepsEquals",
             QStringLiteral("VANTOR_CLOUD_URL=U VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=a==b="),
             p("U", "C", "a==b=")},
        Case{"CommandKeepsQuotes",
             QStringLiteral("VANTOR_CLOUD_URL=\"U\" VANTOR_PAIR_CODE='C' VANTOR_PAIR_SECRET=S;"),
             p("\"U\"", "'C'", "S;")},
        Case{"CommandLastValueWins",
             QStringLiteral(
                 "VANTOR_CLOUD_URL=U VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S VANTOR_PAIR_CODE=D"),
             p("U", "D", "S")},
        Case{"CommandLeadingEqualsSkipped",
             QStringLiteral("==VANTOR_CLOUD_URL=U VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET==S"),
             p("U", "C", "=S")},
        Case{"CommandEmptyValueIgnored",
             QStringLiteral("VANTOR_CLOUD_URL= VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S"),
             std::nullopt},
        Case{"CommandTabsRunTogether",
             QStringLiteral("VANTOR_CLOUD_URL=U\tVANTOR_PAIR_CODE=C\tVANTOR_PAIR_SECRET=S"),
             std::nullopt},
        Case{"CommandCrLfRunsTogether",
             QStringLiteral("VANTOR_CLOUD_URL=U\r\nVANTOR_PAIR_CODE=C\r\nVANTOR_PAIR_SECRET=S"),
             std::nullopt},
        Case{"CommandSpaceWithCombiningMarkDoesNotSplit",
             QStringLiteral("VANTOR_CLOUD_URL=U \u0301VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S"),
             std::nullopt},
        // Link form.
        Case{"Link", QStringLiteral("vantor://pair?x=1&code=ab12cd&secret=S&cloud=https://u/"),
             p("https://u", "ab12cd", "S")},
        Case{"LinkSchemeInCapitals", QStringLiteral("VANTOR://pair/any?cloud=U&code=C&secret=S"),
             p("U", "C", "S")},
        Case{"LinkDecodesPercentKeepsPlus",
             QStringLiteral("vantor://p?cloud=https%3A%2F%2Fu&code=C%20D&secret=a+b%26c"),
             p("https://u", "C D", "a+b&c")},
        Case{"LinkFirstCloudWins", QStringLiteral("vantor://p?cloud=A&cloud=B&code=C&secret=S"),
             p("A", "C", "S")},
        Case{"LinkSecretMissing", QStringLiteral("vantor://p?cloud=U&code=C"), std::nullopt},
        Case{"LinkSecretEmpty", QStringLiteral("vantor://p?cloud=U&code=C&secret="), std::nullopt},
        Case{"LinkSecretWithoutEquals", QStringLiteral("vantor://p?cloud=U&code=C&secret"),
             std::nullopt},
        Case{"LinkFirstItemWithoutValueDecides",
             QStringLiteral("vantor://p?cloud=U&code=C&secret&secret=S"), std::nullopt},
        Case{"LinkDecidesEvenWithCommandInside", QStringLiteral("vantor://p?VANTOR_PAIR_CODE=1 x"),
             std::nullopt},
        Case{"RejectedLinkFallsBackToShortForm", QStringLiteral("vantor://%zz abcdef secret"),
             std::nullopt},
        Case{
            "RejectedLinkFallsBackToCommand",
            QStringLiteral("vantor://[ VANTOR_CLOUD_URL=U VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S"),
            p("U", "C", "S")},
        // Short form.
        Case{"ShortUsesDefaultConsole", QStringLiteral("  ab12cd   s3cret \n"),
             Pairing{defaultConsoleUrl(), QStringLiteral("AB12CD"), QStringLiteral("s3cret")}},
        Case{"ShortWithCloudKeepsSlash", QStringLiteral("ab12cd s https://u/ more words"),
             p("https://u/", "AB12CD", "s")},
        Case{"ShortCountsCharactersNotBytes", QStringLiteral("e\u0301\U0001F44D\U0001F3FDabcd s"),
             p(VANTOR_DEFAULT_CONSOLE_URL, "E\u0301\U0001F44D\U0001F3FDABCD", "s")},
        Case{"ShortFiveCharacters", QStringLiteral("abcde s"), std::nullopt},
        Case{"ShortSevenCharacters", QStringLiteral("abcdefg s"), std::nullopt},
        Case{"ShortSingleWord", QStringLiteral("abcdef"), std::nullopt},
        Case{"ShortOnTwoLines", QStringLiteral("abcdef\nsecret"), std::nullopt},
        Case{"LowerCaseKeysAreShortForm", QStringLiteral("vantor_pair_code=C secret"),
             std::nullopt}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(PairingInput, HugeAndBinaryInputNeverPairsPartially) {
    EXPECT_FALSE(parsePairingInput(QString(2'000'000, QLatin1Char('='))));
    EXPECT_FALSE(
        parsePairingInput(QStringLiteral("VANTOR_PAIR_CODE=") + QString(1'000'000, QChar(0x301))));
    QString bytes;
    for (int i = 0; i < 65536; ++i)
        bytes.append(QChar(static_cast<char16_t>(i * 7919)));
    EXPECT_NO_FATAL_FAILURE(parsePairingInput(bytes));
}

} // namespace
