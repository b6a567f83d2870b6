#include "LoginItem.h"
#include "MenuModel.h"
#include "SingleInstance.h"
#include "TempEnvironment.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QProcess>
#include <gtest/gtest.h>

namespace {

MenuEntry item(const char* title, MenuCommand command = MenuCommand::None, bool checked = false) {
    return {false, QString::fromUtf8(title), command, command != MenuCommand::None, checked};
}
const MenuEntry kSeparator{true, {}, MenuCommand::None, false, false};

const Pairing kPaired{QStringLiteral("https://c"), QStringLiteral("AB12CD"), QStringLiteral("s")};
// 61 user-perceived characters, the first of them two code points.
const QString kLongError = QStringLiteral("e\u0301") + QString(60, QLatin1Char('x'));

TEST(MenuModel, ListsEntriesInOrderWithTheWarningCutToSixtyCharacters) {
    EXPECT_EQ(
        buildMenuModel(std::nullopt, std::nullopt, false),
        (std::vector<MenuEntry>{item("Not paired"), kSeparator,
                                item("Pair with Console…", MenuCommand::PairManually),
                                item("Open Console", MenuCommand::OpenConsole), kSeparator,
                                item("Start at Login", MenuCommand::ToggleLoginItem), kSeparator,
                                item("Quit Keyloft Companion", MenuCommand::Quit)}));
    EXPECT_EQ(
        buildMenuModel(kPaired, QStringLiteral("HTTP 502"), true),
        (std::vector<MenuEntry>{item("Paired · code AB12CD"), item("⚠ HTTP 502"), kSeparator,
                                item("Pair with Console…", MenuCommand::PairManually),
                                item("Unpair", MenuCommand::Unpair),
                                item("Open Console", MenuCommand::OpenConsole), kSeparator,
                                item("Start at Login", MenuCommand::ToggleLoginItem, true),
                                kSeparator, item("Quit Keyloft Companion", MenuCommand::Quit)}));
    for (const auto& [error, shown] :
         {std::pair{kLongError, QStringLiteral("e\u0301") + QString(59, QLatin1Char('x'))},
          {kLongError.chopped(1), kLongError.chopped(1)}})
        EXPECT_EQ(
            buildMenuModel(std::nullopt, error, false)[1],
            (MenuEntry{false, QStringLiteral("⚠ ") + shown, MenuCommand::None, false, false}));
}

TEST(LoginItem, RegistersAndUnregistersTheAutostartEntry) {
    TempEnvironment env;
    EXPECT_EQ(LoginItem::status(), 0);
    LoginItem::registerItem(QStringLiteral("/opt/my apps/vantor \"companion\""));
    EXPECT_EQ(LoginItem::entryPath(),
              env.configHome() + QStringLiteral("/autostart/vantor-companion.desktop"));
    EXPECT_EQ(LoginItem::status(), 1);
    QFile entry(LoginItem::entryPath());
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    EXPECT_TRUE(entry.readAll().contains(R"(Exec="/opt/my apps/vantor \\"companion\\"")"));
    entry.close();

    ASSERT_TRUE(entry.open(QIODevice::Append));
    entry.write("Hidden=true\n");
    entry.close();
    EXPECT_EQ(LoginItem::status(), 0) << "a hidden entry is a disabled login item";

    LoginItem::unregisterItem();
    EXPECT_FALSE(QFileInfo::exists(LoginItem::entryPath()));
    EXPECT_NO_THROW(LoginItem::unregisterItem());
}

TEST(SingleInstance, ReplacesAStaleSocketAndTakesTheArgumentOfASecondStart) {
    TempEnvironment env;
    SingleInstance first;
    QFile stale(first.socketPath());
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly)); // left behind by an agent that crashed
    stale.close();
    QStringList received;
    first.onArgument = [&](const QString& argument) { received.append(argument); };
    ASSERT_EQ(first.claim(QString()), SingleInstance::Role::Primary);
    EXPECT_EQ(QFileInfo(first.socketPath()).permissions() &
                  (QFileDevice::ReadOther | QFileDevice::ReadGroup),
              0);

    // The later start is another process, as it is for real: a shell script cannot speak the
    // local socket, so the test binary itself plays the second agent.
    QProcess second;
    second.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--gtest_filter=SingleInstance.DISABLED_HandOverHelper"),
                  QStringLiteral("--gtest_also_run_disabled_tests")});
    second.waitForStarted();
    EXPECT_TRUE(waitUntil([&] { return second.state() == QProcess::NotRunning; },
                          std::chrono::seconds(10)));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(waitUntil([&] { return !received.isEmpty(); }));
    EXPECT_EQ(received, QStringList{QStringLiteral("vantor://pair?code=é")});
}

// Run by the hand-over test in a child process, with the parent's environment.
TEST(SingleInstance, DISABLED_HandOverHelper) {
    SingleInstance second;
    ASSERT_EQ(second.claim(QStringLiteral("vantor://pair?code=é")),
              SingleInstance::Role::HandedOver);
}

} // namespace
