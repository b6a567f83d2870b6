#include "AppDelegate.h"

#include "AgentCore.h"
#include "LocalServer.h"
#include "Log.h"
#include "LoginItem.h"
#include "TempEnvironment.h"

#include <QTcpSocket>
#include <QUrl>
#include <gtest/gtest.h>

namespace {

class DelegateFixture : public testing::Test {
protected:
    TempEnvironment env;
    QStringList logLines;
    std::vector<QString> asked;
    std::vector<QUrl> opened;
    bool answer = false;

    void SetUp() override {
        setLogObserver([this](const QString& line) { logLines.append(line); });
    }
    void TearDown() override { setLogObserver({}); }

    std::unique_ptr<AppDelegate> launch(bool canAsk) {
        CoreServices services = CoreServices::defaults();
        auto delegate = std::make_unique<AppDelegate>(services, AppDelegate::Options{0, canAsk});
        delegate->confirmLink = [this](const AppDelegate::LinkQuestion& question) {
            asked.push_back(question.code);
            return answer;
        };
        delegate->openUrl = [this](const QUrl& url) { opened.push_back(url); };
        delegate->applicationDidFinishLaunching();
        return delegate;
    }

    bool logged(const QString& line) const { return logLines.contains(line); }
};

TEST_F(DelegateFixture, LaunchWiresServerCoreAndMenu) {
    auto delegate = launch(true);
    ASSERT_TRUE(delegate->server());
    EXPECT_NE(delegate->server()->port(), 0);
    EXPECT_EQ(delegate->menuModel().front().title, QStringLiteral("Not paired"));
    EXPECT_EQ(delegate->core().lastContext.windowTitle, QString())
        << "first sample at launch: no front window, the empty title";
    EXPECT_FALSE(delegate->trayVisible()) << "the offscreen platform has no tray";

    // The event stream receives the context changes the core reports.
    QTcpSocket client;
    client.connectToHost(QStringLiteral("127.0.0.1"), delegate->server()->port());
    ASSERT_TRUE(client.waitForConnected(2000));
    client.write("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray received;
    ASSERT_TRUE(waitUntil([&] {
        received += client.readAll();
        return received.contains("data: ");
    }));
    AgentContext changed = delegate->core().lastContext;
    changed.activeApp = QStringLiteral("Changed App");
    delegate->core().onContextChange(changed);
    EXPECT_TRUE(waitUntil([&] {
        received += client.readAll();
        return received.contains("Changed App");
    }));
}

TEST_F(DelegateFixture, SecondAgentOnTheSamePortLogsAndRunsOn) {
    auto first = launch(true);
    CoreServices services = CoreServices::defaults();
    AppDelegate second(services, AppDelegate::Options{first->server()->port(), false});
    second.applicationDidFinishLaunching();
    EXPECT_TRUE(std::any_of(logLines.begin(), logLines.end(), [](const QString& line) {
        return line.startsWith(QStringLiteral("Local server failed to start: "));
    }));
    second.handleArgument(QStringLiteral("abcdef secret"));
    EXPECT_TRUE(second.core().pairing) << "a failed server leaves pairing working";
}

TEST_F(DelegateFixture, LinksAndPastedTextPairOnlyWithConsent) {
    const struct {
        const char* name;
        const char* argument;
        bool canAsk;
        bool answer;
        bool pairs;
        int questions;
        bool pairedBefore = false;
    } cases[] = {
        {"DefaultConsolePairsSilently",
         "vantor://pair?cloud=https://console.keyloft.com/&code=AB12CD&secret=s", false, false,
         true, 0},
        {"DefaultConsoleExplicitPort",
         "vantor://pair?cloud=https://CONSOLE.keyloft.com:443&code=AB12CD&secret=s", false, false,
         true, 0},
        // Regression: a web page could otherwise hand this computer to a stranger's server.
        {"ForeignWithoutWayToAskIsRefused",
         "vantor://pair?cloud=https://evil.example&code=AB12CD&secret=s", false, true, false, 0},
        {"ForeignDeclined", "vantor://pair?cloud=http://127.0.0.1:9&code=AB12CD&secret=s", true,
         false, false, 1},
        {"HttpLookalikeIsForeign",
         "vantor://pair?cloud=http://console.keyloft.com&code=AB12CD&secret=s", false, true, false,
         0},
        {"UnparsableLinkChangesNothing",
         "vantor://pair?cloud=https://console.keyloft.com&code=AB12CD", true, true, false, 0},
        {"PastedGarbageDoesNot", "hello", false, false, false, 0},
        // Pins "vantor:" without "//" slipping past the console check as pasted text.
        {"VantorWithoutSlashesIsALink",
         "vantor:x VANTOR_CLOUD_URL=http://127.0.0.1:8001 VANTOR_PAIR_CODE=EVIL99 "
         "VANTOR_PAIR_SECRET=S9",
         false, true, false, 0},
        {"LinkWithCloudPathRefused",
         "VANTOR:x VANTOR_CLOUD_URL=https://console.keyloft.com/x VANTOR_PAIR_CODE=AB12CD "
         "VANTOR_PAIR_SECRET=s",
         true, true, false, 0},
        {"LookalikeWithUserInfo",
         "vantor://pair?cloud=https://evil.example@console.keyloft.com&code=AB12CD&secret=s", true,
         true, false, 0},
        // Pins a link silently replacing the current pairing.
        {"ReplacingWithoutWayToAskIsRefused",
         "vantor://pair?cloud=https://console.keyloft.com&code=AB12CD&secret=s", false, true, false,
         0, true},
        {"ReplacingDeclined",
         "vantor://pair?cloud=https://console.keyloft.com&code=AB12CD&secret=s", true, false, false,
         1, true},
        {"ReplacingAccepted",
         "vantor://pair?cloud=https://console.keyloft.com&code=AB12CD&secret=s", true, true, true,
         1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pairing::erase();
        asked.clear();
        answer = c.answer;
        auto delegate = launch(c.canAsk);
        if (c.pairedBefore)
            delegate->core().pair(Pairing{QStringLiteral("https://console.keyloft.com"),
                                          QStringLiteral("OLD111"), QStringLiteral("s")});
        const auto before = delegate->core().pairing;
        delegate->handleArgument(QString::fromUtf8(c.argument));
        EXPECT_EQ(delegate->core().pairing != before, c.pairs);
        EXPECT_EQ(Pairing::load(), delegate->core().pairing);
        EXPECT_EQ(asked, std::vector<QString>(size_t(c.questions), QStringLiteral("AB12CD")));
        if (c.pairs) {
            EXPECT_EQ(delegate->menuModel().front().title,
                      QStringLiteral("Paired · code ") + delegate->core().pairing->code);
        }
    }
}

TEST_F(DelegateFixture, CommandsAndTheirLogLines) {
    auto delegate = launch(false);
    delegate->openConsole();
    delegate->handleArgument(QStringLiteral(
        "VANTOR_CLOUD_URL=http://127.0.0.1:9/ VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=secret"));
    delegate->openConsole();
    EXPECT_EQ(opened, (std::vector<QUrl>{QUrl(QStringLiteral("https://console.keyloft.com")),
                                         QUrl(QStringLiteral("http://127.0.0.1:9"))}));
    delegate->handleArgument(QStringLiteral("not a pairing"));
    EXPECT_TRUE(logged(QStringLiteral("Could not read pairing — Paste the full companion command "
                                      "from the console's pairing panel.")));
    EXPECT_FALSE(logLines.join(QLatin1Char('\n')).contains(QStringLiteral("secret")));

    delegate->core().lastCloudError = QStringLiteral("HTTP 502");
    delegate->unpair();
    EXPECT_FALSE(Pairing::load());
    EXPECT_EQ(delegate->menuModel()[1].separator, true) << "the warning line is gone";
    delegate->toggleLoginItem();
    EXPECT_EQ(LoginItem::status(), 1);
    EXPECT_TRUE(std::any_of(
        delegate->menuModel().begin(), delegate->menuModel().end(),
        [](const MenuEntry& e) { return e.command == MenuCommand::ToggleLoginItem && e.checked; }));
}

TEST_F(DelegateFixture, LoginItemFailureIsLoggedAndMenuShowsPlatformState) {
    auto delegate = launch(false);
    QFile blocker(env.configHome() + QStringLiteral("/autostart"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    delegate->toggleLoginItem();
    EXPECT_TRUE(std::any_of(logLines.begin(), logLines.end(), [](const QString& line) {
        const QString prefix = QStringLiteral("Login item change failed — ");
        return line.startsWith(prefix) && line.size() > prefix.size(); // with the reason
    }));
    EXPECT_FALSE(std::any_of(delegate->menuModel().begin(), delegate->menuModel().end(),
                             [](const MenuEntry& e) { return e.checked; }));
}

} // namespace
