#include "Log.h"
#include "LoginItem.h"
#include "MenuModel.h"
#include "PairingInput.h"
#include "SingleInstance.h"
#include "TempEnvironment.h"

#include <QFile>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::string_view_literals;

namespace {

MenuEntry item(const char* title, MenuCommand command = MenuCommand::None, bool checked = false) {
    return {false, QString::fromUtf8(title), command, command != MenuCommand::None, checked};
}
const MenuEntry kSeparator{true, {}, MenuCommand::None, false, false};

// 61 user-perceived characters, the first of them two code points.
const QString kLongError = u"e\u0301"_s + QString(60, QLatin1Char('x'));

TEST(MenuModel, ListsEntriesInOrderWithTheWarningCutToSixtyCharacters) {
    // The unpaired menu's entries are checked through the application delegate.
    EXPECT_EQ(
        buildMenuModel(Pairing{u"https://c"_s, u"AB12CD"_s, u"s"_s}, u"HTTP 502"_s, true),
        (std::vector<MenuEntry>{item("Paired · code AB12CD"), item("⚠ HTTP 502"), kSeparator,
                                item("Pair with Console…", MenuCommand::PairManually),
                                item("Unpair", MenuCommand::Unpair),
                                item("Open Console", MenuCommand::OpenConsole), kSeparator,
                                item("Start at Login", MenuCommand::ToggleLoginItem, true),
                                kSeparator, item("Quit Keyloft Companion", MenuCommand::Quit)}));
    for (const auto& [error, shown] :
         {std::pair{kLongError, u"e\u0301"_s + QString(59, QLatin1Char('x'))},
          {kLongError.chopped(1), kLongError.chopped(1)}})
        EXPECT_EQ(buildMenuModel(std::nullopt, error, false)[1], item(qPrintable(u"⚠ "_s + shown)));
    // Pins: a desktop problem lost its end (what to do) to the cloud error's cut.
    EXPECT_EQ(buildMenuModel(std::nullopt, {}, false, kLongError)[1],
              item(qPrintable(u"⚠ "_s + kLongError)));
}

// Adding and removing the entry is proven from the menu, by the installed agent.
TEST(LoginItem, QuotesTheProgramAndTakesAHiddenEntryAsDisabled) {
    TempEnvironment env;
    LoginItem::registerItem(u"/opt/my apps/vantor \"companion\""_s);
    QFile entry(env.configHome() + u"/autostart/vantor-companion.desktop"_s);
    ASSERT_TRUE(entry.open(QIODevice::ReadWrite));
    EXPECT_TRUE(entry.readAll().contains(R"(Exec="/opt/my apps/vantor \\"companion\\"")"));
    entry.write("Hidden=true\n");
    entry.close();
    EXPECT_EQ(LoginItem::status(), 0);
}

// Pins the socket in a folder another user holds (once /tmp/vantor-companion-UID, which any
// account could create first and listen in): only a real folder of this user, closed to others.
// Handing a second start's argument over is proven end to end, by the installed agent.
TEST(SingleInstance, ListensOnlyInAPrivateFolderOfItsUser) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a folder to another user needs root";
    const struct {
        const char* name;
        bool runtimeUnset; // else the runtime folder belongs to nobody
        const char* found; // the fallback folder already there: "", "nobody's", "open", "group",
                           // "link"
        const char* refusal;
    } rows[] = {{"RuntimeOfAnotherUser", false, "", nullptr},
                {"FallbackOfAnotherUser", true, "nobody's", "owned by uid 65534"},
                {"FallbackOpenToOthers", true, "open", "open to other users"},
                // Pins a folder that only the group may enter passing as private.
                {"FallbackOpenToTheGroup", true, "group", "open to other users"},
                {"FallbackIsALink", true, "link", "not a folder"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempEnvironment env;
        const QString fallback = env.path() + u"/cache/vantor-companion"_s;
        const QByteArray name = QFile::encodeName(fallback);
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        int failed = row.runtimeUnset ? (qunsetenv("XDG_RUNTIME_DIR"), 0)
                                      : ::chown(runtime.constData(), 65534, 65534);
        if (row.found == "link"sv)
            failed |= ::symlink(runtime.constData(), name.constData());
        else if (*row.found)
            failed |= ::mkdir(name.constData(), 0700) |
                      ::chmod(name.constData(), row.found == "group"sv ? 0710 : 0777);
        if (row.found == "nobody's"sv)
            failed |= ::chown(name.constData(), 65534, 65534);
        ASSERT_EQ(failed, 0);
        QStringList logged;
        setLogObserver([&](const QString& line) { logged.append(line); });
        SingleInstance instance;
        if (!row.refusal) // left behind by an agent that crashed
            writeTestFile(instance.socketPath(), {});
        const SingleInstance::Role role = instance.claim(QString());
        setLogObserver({});
        if (!row.refusal) { // the stale socket is replaced by one only this user can reach
            EXPECT_EQ(role, SingleInstance::Role::Primary);
            EXPECT_EQ(instance.socketPath(), fallback + u"/vantor-companion.sock"_s);
            struct stat folder {
            }, socket{};
            ::stat(name.constData(), &folder);
            ::stat(QFile::encodeName(instance.socketPath()).constData(), &socket);
            EXPECT_EQ((folder.st_mode & 0777) | (socket.st_mode & 077), 0700U);
        } else {
            EXPECT_EQ(role, SingleInstance::Role::Failed);
            EXPECT_EQ(logged,
                      QStringList(u"Refused the folder for the single-instance socket — "_s +
                                  fallback + u": "_s + QLatin1String(row.refusal)));
        }
    }
}

// Pins the pairing text handed to another user's listener: a child that becomes nobody listens on
// the socket; this start hands it nothing (else it would have handed over) and becomes the agent.
TEST(SingleInstance, HandsNothingToAListenerOfAnotherUser) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "becoming another user needs root";
    TempEnvironment env;
    SingleInstance instance;
    sockaddr_un address{AF_UNIX, {}};
    const QByteArray path = QFile::encodeName(instance.socketPath());
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const pid_t child = ::fork();
    if (child == 0) // system calls only: this process has threads
        ::_exit(::setresgid(65534, 65534, 65534) | ::setresuid(65534, 65534, 65534) |
                ::listen(listener, 1) | int(::write(ready[1], "r", 1) != 1) | ::pause());
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_EQ(instance.claim(u"VANTOR_PAIR_SECRET=s"_s), SingleInstance::Role::Primary);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(listener);
}

// "cloud|code|secret" of what the input pairs with, "-" for nothing.
std::string parsed(const std::string& input) {
    const auto p = parsePairingInput(QString::fromStdString(input));
    return p ? (p->cloudUrl + u'|' + p->code + u'|' + p->secret).toStdString() : "-";
}

TEST(PairingInput, ParsesTheThreeFormsAndRefusesCodesThatLeaveTheirPathSegment) {
    // clang-format off
    const struct { const char* name; const char* input; const char* expected; } cases[] = {
        {"CommandInAnyOrderLastValueWins", "VANTOR_PAIR_SECRET==a==b= ==VANTOR_CLOUD_URL=https://u/base//\nVANTOR_PAIR_CODE=x npx VANTOR_PAIR_CODE=ab-C_9\n", "https://u/base/|ab-C_9|=a==b="},
        {"CommandSplitsOnlyAtPlainSpaces", "VANTOR_CLOUD_URL=https://u\tx VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S \u0301x", "https://u\tx|C|S \u0301x"},
        {"CommandEmptyValueIgnored", "VANTOR_CLOUD_URL= VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S", "-"},
        {"Link", "vantor://pair?x=1&code=ab12cd&secret=S&cloud=https://u/&cloud=B", "https://u|ab12cd|S"},
        {"LinkInCapitalsDecodesPercentKeepsPlus", "VANTOR://p?cloud=https%3A%2F%2Fu&code=C%2DD&secret=a+b%26c", "https://u|C-D|a+b&c"},
        {"LinkEmptyValue", "vantor://p?cloud=https://u&code=C&secret=", "-"},
        {"LinkFirstItemWithoutValueDecides", "vantor://p?cloud=https://u&code=C&secret&secret=S", "-"},
        {"RejectedLinkFallsBackToCommand", "vantor://[ VANTOR_CLOUD_URL=U VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S", "U|C|S"},
        // Pins look-alike cloud addresses and ones that bend every request path.
        {"LinkCloudWithUserInfo", "vantor://p?cloud=https://evil.example@console.keyloft.com&code=C&secret=S", "-"},
        {"LinkCloudWithPath", "vantor://p?cloud=https://console.keyloft.com/x%253F&code=C&secret=S", "-"},
        {"CommandCloudWithQuery", "VANTOR_CLOUD_URL=https://u/?x VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=S", "-"},
        {"ShortCloudWithFragment", "ab12cd s https://u#f", "-"},
        {"ShortCountsCharactersNotBytes", "  e\u0301\U0001F44D\U0001F3FDabcd   s3cret \n", VANTOR_DEFAULT_CONSOLE_URL "|E\u0301\U0001F44D\U0001F3FDABCD|s3cret"},
        {"ShortWithCloudKeepsSlash", "ab12cd s https://u/ more words", "https://u/|AB12CD|s"},
        {"ShortFiveCharacters", "abcde s", "-"},
        {"ShortSevenCharacters", "abcdefg s", "-"},
        {"ShortOnTwoLines", "abcdef\nsecret", "-"},
    };
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(parsed(c.input), c.expected) << c.name;

    // Pins codes that bent the cloud request path.
    for (const std::string code :
         {"a/b", "a?b", "a#b", "a%b", "a\u00a0b", "a\x01x", "a\u200bb", ".", ".."})
        EXPECT_EQ(
            parsed("VANTOR_CLOUD_URL=https://u VANTOR_PAIR_SECRET=S VANTOR_PAIR_CODE=" + code), "-")
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
