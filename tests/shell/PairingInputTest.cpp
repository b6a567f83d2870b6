#include "PairingInput.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* name;
    const char* input;
    std::optional<Pairing> expected;
};

Pairing p(const char* cloud, const char* code, const char* secret) {
    return {QString::fromUtf8(cloud), QString::fromUtf8(code), QString::fromUtf8(secret)};
}

const char* const kCommand =
    "VANTOR_CLOUD_URL=https://c.example VANTOR_PAIR_CODE=Ab12cD\nVANTOR_PAIR_SECRET=s3 npx x\n";

TEST(PairingInput, ParsesTheThreeForms) {
    const Case cases[] = {
        {"Empty", "", std::nullopt},
        {"OnlyWhiteSpace", " \t\n\r\u2028\u00a0", std::nullopt},
        // Command form.
        {"Command", kCommand, p("https://c.example", "Ab12cD", "s3")},
        {"CommandAnyOrder", "VANTOR_PAIR_SECRET=s VANTOR_PAIR_CODE=C VANTOR_CLOUD_URL=U run",
         p("U", "C", "s")},
        {"CommandDropsOneSlash",
         "VANTOR_CLOUD_URL=https://u// VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S",
         p("https://u/", "C", "S")},
        {"CommandWithoutCloud", "VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S", std::nullopt},
        {"CommandValueKeepsEquals",
         "VANTOR_CLOUD_URL=U VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=a==b=", p("U", "C", "a==b=")},
        {"CommandKeepsQuotes", "VANTOR_CLOUD_URL=\"U\" VANTOR_PAIR_CODE='C' VANTOR_PAIR_SECRET=S;",
         p("\"U\"", "'C'", "S;")},
        {"CommandLastValueWins",
         "VANTOR_CLOUD_URL=U VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S VANTOR_PAIR_CODE=D",
         p("U", "D", "S")},
        {"CommandLeadingEqualsSkipped",
         "==VANTOR_CLOUD_URL=U VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET==S", p("U", "C", "=S")},
        {"CommandEmptyValueIgnored", "VANTOR_CLOUD_URL= VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S",
         std::nullopt},
        {"CommandTabsRunTogether", "VANTOR_CLOUD_URL=U\tVANTOR_PAIR_CODE=C\tVANTOR_PAIR_SECRET=S",
         std::nullopt},
        {"CommandCrLfRunsTogether",
         "VANTOR_CLOUD_URL=U\r\nVANTOR_PAIR_CODE=C\r\nVANTOR_PAIR_SECRET=S", std::nullopt},
        {"CommandSpaceWithCombiningMarkDoesNotSplit",
         "VANTOR_CLOUD_URL=U \u0301VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S", std::nullopt},
        // Link form.
        {"Link", "vantor://pair?x=1&code=ab12cd&secret=S&cloud=https://u/",
         p("https://u", "ab12cd", "S")},
        {"LinkSchemeInCapitals", "VANTOR://pair/any?cloud=https://u&code=C&secret=S",
         p("https://u", "C", "S")},
        {"LinkDecodesPercentKeepsPlus",
         "vantor://p?cloud=https%3A%2F%2Fu&code=C%2DD&secret=a+b%26c",
         p("https://u", "C-D", "a+b&c")},
        {"LinkFirstCloudWins", "vantor://p?cloud=https://a&cloud=B&code=C&secret=S",
         p("https://a", "C", "S")},
        // Pins codes that bent the cloud request path, and look-alike cloud addresses.
        {"CodeWithSlashOrQuery",
         "VANTOR_CLOUD_URL=https://u VANTOR_PAIR_CODE=../../admin/requests? VANTOR_PAIR_SECRET=S",
         std::nullopt},
        {"CodeWithFragment", "vantor://p?cloud=https://u&code=X%23frag&secret=S", std::nullopt},
        {"CodeWithSpaceOrControl", "vantor://p?cloud=https://u&code=A%20%01&secret=S",
         std::nullopt},
        {"CodeWithPercent", "ab%cde s", std::nullopt},
        {"CodeOfDots", "VANTOR_CLOUD_URL=https://u VANTOR_PAIR_CODE=.. VANTOR_PAIR_SECRET=S",
         std::nullopt},
        {"LinkCloudWithUserInfo",
         "vantor://p?cloud=https://evil.example@console.keyloft.com&code=C&secret=S", std::nullopt},
        {"LinkCloudWithPath", "vantor://p?cloud=https://console.keyloft.com/x%253F&code=C&secret=S",
         std::nullopt},
        {"CommandCloudWithQuery",
         "VANTOR_CLOUD_URL=https://u/?x VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S", std::nullopt},
        {"CommandCloudKeepsPath",
         "VANTOR_CLOUD_URL=https://u/base VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S",
         p("https://u/base", "C", "S")},
        {"ShortCloudWithFragment", "ab12cd s https://u#f", std::nullopt},
        {"LinkSecretMissing", "vantor://p?cloud=U&code=C", std::nullopt},
        {"LinkSecretEmpty", "vantor://p?cloud=U&code=C&secret=", std::nullopt},
        {"LinkFirstItemWithoutValueDecides", "vantor://p?cloud=U&code=C&secret&secret=S",
         std::nullopt},
        {"LinkDecidesEvenWithCommandInside", "vantor://p?VANTOR_PAIR_CODE=1 x", std::nullopt},
        {"RejectedLinkFallsBackToShortForm", "vantor://%zz abcdef secret", std::nullopt},
        {"RejectedLinkFallsBackToCommand",
         "vantor://[ VANTOR_CLOUD_URL=U VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S", p("U", "C", "S")},
        // Short form.
        {"ShortUsesDefaultConsole", "  ab12cd   s3cret \n",
         p(VANTOR_DEFAULT_CONSOLE_URL, "AB12CD", "s3cret")},
        {"ShortWithCloudKeepsSlash", "ab12cd s https://u/ more words",
         p("https://u/", "AB12CD", "s")},
        {"ShortCountsCharactersNotBytes", "e\u0301\U0001F44D\U0001F3FDabcd s",
         p(VANTOR_DEFAULT_CONSOLE_URL, "E\u0301\U0001F44D\U0001F3FDABCD", "s")},
        {"ShortFiveCharacters", "abcde s", std::nullopt},
        {"ShortSevenCharacters", "abcdefg s", std::nullopt},
        {"ShortSingleWord", "abcdef", std::nullopt},
        {"ShortOnTwoLines", "abcdef\nsecret", std::nullopt},
        {"LowerCaseKeysAreShortForm", "vantor_pair_code=C secret", std::nullopt},
    };
    for (const Case& c : cases) {
        const auto result = parsePairingInput(QString::fromUtf8(c.input));
        EXPECT_EQ(result, c.expected)
            << c.name << ": "
            << (result ? (result->cloudUrl + u' ' + result->code + u' ' + result->secret)
                       : QStringLiteral("nothing"))
                   .toStdString();
    }
}

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
