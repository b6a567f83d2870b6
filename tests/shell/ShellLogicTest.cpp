#include "LoginItem.h"
#include "MenuModel.h"
#include "PairingInput.h"
#include "SingleInstance.h"
#include "TempEnvironment.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

MenuEntry item(const char* title, MenuCommand command = MenuCommand::None, bool checked = false) {
    return {false, QString::fromUtf8(title), command, command != MenuCommand::None, checked};
}
const MenuEntry kSeparator{true, {}, MenuCommand::None, false, false};

const Pairing kPaired{u"https://c"_s, u"AB12CD"_s, u"s"_s};
// 61 user-perceived characters, the first of them two code points.
const QString kLongError = u"e\u0301"_s + QString(60, QLatin1Char('x'));

TEST(MenuModel, ListsEntriesInOrderWithTheWarningCutToSixtyCharacters) {
    EXPECT_EQ(
        buildMenuModel(std::nullopt, std::nullopt, false),
        (std::vector<MenuEntry>{item("Not paired"), kSeparator,
                                item("Pair with Console…", MenuCommand::PairManually),
                                item("Open Console", MenuCommand::OpenConsole), kSeparator,
                                item("Start at Login", MenuCommand::ToggleLoginItem), kSeparator,
                                item("Quit Keyloft Companion", MenuCommand::Quit)}));
    EXPECT_EQ(
        buildMenuModel(kPaired, u"HTTP 502"_s, true),
        (std::vector<MenuEntry>{item("Paired · code AB12CD"), item("⚠ HTTP 502"), kSeparator,
                                item("Pair with Console…", MenuCommand::PairManually),
                                item("Unpair", MenuCommand::Unpair),
                                item("Open Console", MenuCommand::OpenConsole), kSeparator,
                                item("Start at Login", MenuCommand::ToggleLoginItem, true),
                                kSeparator, item("Quit Keyloft Companion", MenuCommand::Quit)}));
    for (const auto& [error, shown] :
         {std::pair{kLongError, u"e\u0301"_s + QString(59, QLatin1Char('x'))},
          {kLongError.chopped(1), kLongError.chopped(1)}})
        EXPECT_EQ(buildMenuModel(std::nullopt, error, false)[1],
                  (MenuEntry{false, u"⚠ "_s + shown, MenuCommand::None, false, false}));
}

TEST(LoginItem, RegistersAndUnregistersTheAutostartEntry) {
    TempEnvironment env;
    EXPECT_EQ(LoginItem::status(), 0);
    LoginItem::registerItem(u"/opt/my apps/vantor \"companion\""_s);
    EXPECT_EQ(LoginItem::status(), 1);
    QFile entry(env.configHome() + u"/autostart/vantor-companion.desktop"_s);
    ASSERT_TRUE(entry.open(QIODevice::ReadWrite));
    EXPECT_TRUE(entry.readAll().contains(R"(Exec="/opt/my apps/vantor \\"companion\\"")"));
    entry.write("Hidden=true\n");
    entry.close();
    EXPECT_EQ(LoginItem::status(), 0) << "a hidden entry is a disabled login item";
    LoginItem::unregisterItem();
    EXPECT_FALSE(entry.exists());
    EXPECT_NO_THROW(LoginItem::unregisterItem());
}

// Handing a second start's argument over is proven end to end, by the installed agent.
TEST(SingleInstance, ReplacesAStaleSocketWithOneOnlyItsUserCanReach) {
    TempEnvironment env;
    SingleInstance first;
    // Left behind by an agent that crashed.
    ASSERT_TRUE(writeTestFile(first.socketPath(), {}));
    ASSERT_EQ(first.claim(QString()), SingleInstance::Role::Primary);
    EXPECT_EQ(QFileInfo(first.socketPath()).permissions() &
                  (QFileDevice::ReadOther | QFileDevice::ReadGroup),
              0);
}

// "cloud|code|secret" of what the input pairs with, "-" for nothing. "URL=", "CODE=" and "SECRET="
// stand for the command's VANTOR_CLOUD_URL=, VANTOR_PAIR_CODE= and VANTOR_PAIR_SECRET=.
std::string parsed(const char* input) {
    const auto p = parsePairingInput(QString::fromUtf8(input)
                                         .replace(u"URL="_s, u"VANTOR_CLOUD_URL="_s)
                                         .replace(u"CODE="_s, u"VANTOR_PAIR_CODE="_s)
                                         .replace(u"SECRET="_s, u"VANTOR_PAIR_SECRET="_s));
    return p ? (p->cloudUrl + u'|' + p->code + u'|' + p->secret).toStdString() : "-";
}

TEST(PairingInput, ParsesTheThreeForms) {
    const struct {
        const char* name;
        const char* input;
        const char* expected;
    } cases[] = {
        {"OnlyWhiteSpace", " \t\n\r\u2028\u00a0", "-"},
        // Command form.
        {"CommandAnyOrder", "SECRET=s3 URL=https://c.example\nCODE=Ab12cD npx\n",
         "https://c.example|Ab12cD|s3"},
        {"CommandDropsOneSlash", "URL=https://u// CODE=C SECRET=S", "https://u/|C|S"},
        {"CommandWithoutCloud", "CODE=C SECRET=S", "-"},
        {"CommandValueKeepsEquals", "URL=U CODE=C SECRET=a==b=", "U|C|a==b="},
        {"CommandLastValueWins", "URL=U CODE=C SECRET=S CODE=D", "U|D|S"},
        {"CommandLeadingEqualsSkipped", "==URL=U CODE=C SECRET==S", "U|C|=S"},
        {"CommandEmptyValueIgnored", "URL= CODE=C SECRET=S", "-"},
        {"CommandTabsRunTogether", "URL=U\tCODE=C\tSECRET=S", "-"},
        {"CommandSpaceWithCombiningMarkDoesNotSplit", "URL=U \u0301CODE=C SECRET=S", "-"},
        // Link form.
        {"Link", "vantor://pair?x=1&code=ab12cd&secret=S&cloud=https://u/", "https://u|ab12cd|S"},
        {"LinkSchemeInCapitals", "VANTOR://pair/any?cloud=https://u&code=C&secret=S",
         "https://u|C|S"},
        {"LinkDecodesPercentKeepsPlus",
         "vantor://p?cloud=https%3A%2F%2Fu&code=C%2DD&secret=a+b%26c", "https://u|C-D|a+b&c"},
        {"LinkFirstCloudWins", "vantor://p?cloud=https://a&cloud=B&code=C&secret=S",
         "https://a|C|S"},
        {"LinkSecretEmpty", "vantor://p?cloud=U&code=C&secret=", "-"},
        {"LinkFirstItemWithoutValueDecides", "vantor://p?cloud=U&code=C&secret&secret=S", "-"},
        {"LinkDecidesEvenWithCommandInside", "vantor://p?CODE=1 x", "-"},
        {"RejectedLinkFallsBackToCommand", "vantor://[ URL=U CODE=C SECRET=S", "U|C|S"},
        // Pins look-alike cloud addresses and ones that bend every request path.
        {"LinkCloudWithUserInfo",
         "vantor://p?cloud=https://evil.example@console.keyloft.com&code=C&secret=S", "-"},
        {"LinkCloudWithPath", "vantor://p?cloud=https://console.keyloft.com/x%253F&code=C&secret=S",
         "-"},
        {"CommandCloudWithQuery", "URL=https://u/?x CODE=C SECRET=S", "-"},
        {"CommandCloudKeepsPath", "URL=https://u/base CODE=C SECRET=S", "https://u/base|C|S"},
        {"ShortCloudWithFragment", "ab12cd s https://u#f", "-"},
        // Short form.
        {"ShortUsesDefaultConsole", "  ab12cd   s3cret \n",
         VANTOR_DEFAULT_CONSOLE_URL "|AB12CD|s3cret"},
        {"ShortWithCloudKeepsSlash", "ab12cd s https://u/ more words", "https://u/|AB12CD|s"},
        {"ShortCountsCharactersNotBytes", "e\u0301\U0001F44D\U0001F3FDabcd s",
         VANTOR_DEFAULT_CONSOLE_URL "|E\u0301\U0001F44D\U0001F3FDABCD|s"},
        {"ShortFiveCharacters", "abcde s", "-"},
        {"ShortSevenCharacters", "abcdefg s", "-"},
        {"ShortSingleWord", "abcdef", "-"},
        {"ShortOnTwoLines", "abcdef\nsecret", "-"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parsed(c.input), c.expected) << c.name;
}

TEST(PairingInput, RefusesCodesThatLeaveTheirPathSegment) {
    // Pins codes that bent the cloud request path.
    EXPECT_EQ(parsed("URL=https://u SECRET=S CODE=ab-C_9"), "https://u|ab-C_9|S");
    for (const char* code :
         {"a/b", "a?b", "a#b", "a%b", "a\u00a0b", "a\x01x", "a\u200bb", ".", ".."})
        EXPECT_EQ(parsed(("URL=https://u SECRET=S CODE=" + std::string(code)).c_str()), "-")
            << code;
}

TEST(PairingInput, HugeAndBinaryInputNeverPairsPartially) {
    EXPECT_FALSE(parsePairingInput(QString(2'000'000, QLatin1Char('='))));
    EXPECT_FALSE(parsePairingInput(u"VANTOR_PAIR_CODE="_s + QString(1'000'000, QChar(0x301))));
    QString bytes;
    for (int i = 0; i < 65536; ++i)
        bytes.append(QChar(static_cast<char16_t>(i * 7919)));
    EXPECT_NO_FATAL_FAILURE(parsePairingInput(bytes));
}

} // namespace
