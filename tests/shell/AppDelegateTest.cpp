#include "AppDelegate.h"

#include "AgentCore.h"
#include "LocalServer.h"
#include "Log.h"
#include "TempEnvironment.h"

#include <QRegularExpression>
#include <QUrl>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

class DelegateFixture : public testing::Test {
protected:
    void SetUp() override {
        setLogObserver([this](const QString& line) { logLines.append(line); });
    }
    void TearDown() override { setLogObserver({}); }

    std::unique_ptr<AppDelegate> launch(bool canAsk, quint16 port = 0) {
        auto delegate = std::make_unique<AppDelegate>(CoreServices::defaults(),
                                                      AppDelegate::Options{port, canAsk});
        delegate->confirmLink = [this](const AppDelegate::LinkQuestion& question) {
            asked.push_back(question.code);
            return answer;
        };
        delegate->openUrl = [this](const QUrl& url) { opened.push_back(url); };
        delegate->applicationDidFinishLaunching();
        return delegate;
    }
    // A line that starts with `prefix` and goes on, with the details.
    bool logged(const char* prefix) const {
        return logLines.indexOf(QRegularExpression(
                   QRegularExpression::escape(QString::fromUtf8(prefix)) + u".+"_s)) >= 0;
    }

    TempEnvironment env;
    QStringList logLines;
    std::vector<QString> asked;
    std::vector<QUrl> opened;
    bool answer = false;
};

TEST_F(DelegateFixture, LinksAndPastedTextPairOnlyWithConsent) {
    // A text starting with "http" stands for a link to that cloud with code AB12CD.
    // clang-format off
    const struct { const char* name; const char* text; bool canAsk, answer, pairs; int questions; bool pairedBefore = false; } cases[] = {
        {"DefaultConsolePairsSilently", "https://CONSOLE.keyloft.com:443/", false, false, true, 0},
        // Regression: a web page could otherwise hand this computer to a stranger's server.
        {"ForeignDeclined", "http://127.0.0.1:9", true, false, false, 1},
        {"HttpLookalikeIsForeign", "http://console.keyloft.com:443", false, true, false, 0},
        {"UnparsableLinkChangesNothing", "vantor://pair?cloud=https://console.keyloft.com&code=AB12CD", true, true, false, 0},
        // Pins "vantor:" without "//", in any case, passing the console check as pasted text.
        {"VantorWithoutSlashesIsALink", "VANTOR:x VANTOR_CLOUD_URL=https://console.keyloft.com/x VANTOR_PAIR_CODE=AB12CD VANTOR_PAIR_SECRET=s", true, true, false, 0},
        // Pins a link silently replacing the current pairing.
        {"ReplacingDeclined", "https://console.keyloft.com", true, false, false, 1, true},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pairing::erase();
        asked.clear();
        answer = c.answer;
        auto delegate = launch(c.canAsk);
        if (c.pairedBefore)
            delegate->core().pair(Pairing{u"https://console.keyloft.com"_s, u"OLD111"_s, u"s"_s});
        const auto before = delegate->core().pairing;
        const QString text = QString::fromUtf8(c.text);
        delegate->handleArgument(text.startsWith(QLatin1String("http"))
                                     ? u"vantor://pair?cloud="_s + text + u"&code=AB12CD&secret=s"_s
                                     : text);
        EXPECT_EQ(delegate->core().pairing != before, c.pairs);
        EXPECT_EQ(Pairing::load(), delegate->core().pairing);
        EXPECT_EQ(asked, std::vector<QString>(size_t(c.questions), u"AB12CD"_s));
        if (c.pairs) {
            EXPECT_EQ(delegate->menuModel().front().title,
                      u"Paired · code "_s + delegate->core().pairing->code);
        }
    }
}

TEST_F(DelegateFixture, CommandsAndTheirLogLines) {
    auto delegate = launch(false);
    EXPECT_EQ(delegate->menuModel().front().title, u"Not paired"_s);
    // Pins the tray-less hint that put the pairing secret on the command line.
    EXPECT_TRUE(logLines.contains(u"Tray unavailable — the menu is not shown; pair from a "
                                  u"terminal with: vantor-companion --pair -"_s));
    // A second agent on the same port shows and logs who holds it, and still pairs.
    auto second = launch(false, delegate->server()->port());
    const QString busy = u"Local API unavailable — port %1 is in use by another program (uid %2)"_s
                             .arg(delegate->server()->port())
                             .arg(::geteuid());
    EXPECT_TRUE(waitUntil([&] { return second->menuModel()[1].title == u"⚠ "_s + busy; }));
    EXPECT_TRUE(logLines.contains(busy));
    second->handleArgument(u"abcdef secret"_s);
    EXPECT_TRUE(second->core().pairing);
    delegate->openConsole();
    delegate->handleArgument(QStringLiteral(
        "VANTOR_CLOUD_URL=http://127.0.0.1:9/ VANTOR_PAIR_CODE=C VANTOR_PAIR_SECRET=secret"));
    delegate->openConsole();
    EXPECT_EQ(opened, (std::vector<QUrl>{QUrl(u"https://console.keyloft.com"_s),
                                         QUrl(u"http://127.0.0.1:9"_s)}));
    delegate->handleArgument(u"not a pairing"_s);
    EXPECT_TRUE(logged("Could not read pairing — Paste the full companion command"));
    EXPECT_FALSE(logLines.join(QLatin1Char('\n')).contains(u"secret"_s));

    delegate->core().lastCloudError = u"HTTP 502"_s;
    delegate->unpair();
    EXPECT_EQ(delegate->menuModel()[1].separator, true) << "the warning line is gone";

    // A file where the autostart folder belongs: the failure is logged with its reason, and the
    // menu shows the platform's state.
    const auto loginChecked = [&] { return delegate->menuModel()[5].checked; }; // Start at Login
    ASSERT_TRUE(writeTestFile(env.configHome() + u"/autostart"_s, {}));
    delegate->toggleLoginItem();
    EXPECT_TRUE(logged("Login item change failed — "));
    EXPECT_FALSE(loginChecked());
    QFile::remove(env.configHome() + u"/autostart"_s);
    delegate->toggleLoginItem();
    EXPECT_TRUE(loginChecked());
}

} // namespace
