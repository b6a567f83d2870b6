#include "AgentCore.h"

#include "FrontApplication.h"
#include "TempEnvironment.h"

#include <QFile>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

class FakeFrontApplication : public FrontApplicationSource {
public:
    std::optional<FrontApplication> current;
    std::optional<FrontApplication> frontApplication() override { return current; }
    void moveFocus(std::optional<FrontApplication> to) {
        current = std::move(to);
        notifyFocusChange();
    }
};

FrontApplication window(const char* name, const char* id, const char* title) {
    FrontApplication front;
    if (name)
        front.name = QString::fromUtf8(name);
    front.identifier = QString::fromUtf8(id);
    front.title = QString::fromUtf8(title);
    return front;
}

// A real script runner stand-in: prints one address and records every script text it is given.
class CoreFixture : public testing::Test {
protected:
    TempEnvironment env;
    std::shared_ptr<FakeFrontApplication> front = std::make_shared<FakeFrontApplication>();
    QString logFile = env.path() + QStringLiteral("/scripts.log");

    std::unique_ptr<AgentCore> makeCore() {
        CoreServices services = CoreServices::defaults();
        services.frontApplication = front;
        services.scriptRunnerPath = env.writeScript(
            QStringLiteral("runner"),
            QStringLiteral("printf '%s\\n--\\n' \"$2\" >> '%1'\necho https://example.com/page\n")
                .arg(logFile));
        return std::make_unique<AgentCore>(services);
    }

    QString scriptLog() {
        QFile file(logFile);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
};

struct Step {
    const char* name;
    std::optional<FrontApplication> front;
    bool changes;
    const char* app;
    const char* bundleId;
    std::optional<QString> windowTitle;
};

TEST_F(CoreFixture, SamplingReportsOnlyChanges) {
    const auto editor = window("Editor", "org.example.Editor", "  notes.txt \n");
    const QString notes = QStringLiteral("notes.txt");
    const Step steps[] = {
        {"NoFrontWindowIsTheEmptyTitle", std::nullopt, true, "Unknown", "unknown", QString()},
        {"FrontAppAppears", editor, true, "Editor", "org.example.Editor", notes},
        {"OnlyTimeDiffers", editor, false, "Editor", "org.example.Editor", notes},
        {"Nameless", window(nullptr, "x", "notes.txt"), true, "Unknown", "x", notes},
        {"TitleOnly", window(nullptr, "x", "other"), true, "Unknown", "x", QStringLiteral("other")},
    };
    auto core = makeCore();
    std::vector<AgentContext> reported;
    core->onContextChange = [&](const AgentContext& context) { reported.push_back(context); };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        front->current = step.front;
        const size_t count = reported.size();
        core->pollContext();
        const AgentContext& now = core->lastContext;
        EXPECT_EQ(reported.size(), count + (step.changes ? 1 : 0));
        EXPECT_EQ(now, (AgentContext{QString::fromUtf8(step.app), QString::fromUtf8(step.bundleId),
                                     step.windowTitle, std::nullopt, now.at}));
        if (step.changes) {
            EXPECT_EQ(reported.back(), now);
        }
    }
    EXPECT_EQ(scriptLog(), QString()) << "sampling reads the desktop's state, it runs no script";
}

// Unknown browsers run no script; the Chromium family and Safari each get their own.
TEST_F(CoreFixture, BrowserScriptsRunOnlyForKnownBrowsers) {
    auto core = makeCore();
    const QString url = QStringLiteral("https://example.com/page");
    const std::pair<const char*, std::optional<QString>> rows[] = {
        {"org.mozilla.firefox", std::nullopt},
        {"unknown", std::nullopt},
        {"com.brave.Browser", url},
        {"com.apple.Safari", url}};
    for (const auto& [bundle, expected] : rows)
        EXPECT_EQ(core->browserUrl(QString::fromUtf8(bundle)), expected) << bundle;
    EXPECT_EQ(scriptLog(), QStringLiteral("tell application id \"com.brave.Browser\" to return URL "
                                          "of active tab of front window\n--\n"
                                          "tell application id \"com.apple.Safari\" to return URL "
                                          "of front document\n--\n"));
}

TEST_F(CoreFixture, PairingLifecycleNotifiesAndStores) {
    int notified = 0;
    auto core = makeCore();
    EXPECT_FALSE(core->pairing);
    const Pairing pairing{QStringLiteral("https://cloud"), QStringLiteral("ABCDEF"),
                          QStringLiteral("secret")};

    core->pair(pairing); // no callback installed: same work, nobody told
    EXPECT_EQ(Pairing::load(), pairing);

    core->onPairingChange = [&] { ++notified; };
    core->lastCloudError = QStringLiteral("offline");
    core->pair(pairing);
    EXPECT_EQ(notified, 1);
    EXPECT_FALSE(core->lastCloudError);
    EXPECT_EQ(makeCore()->pairing, pairing) << "a restart finds the stored pairing";

    core->clearPairing();
    core->clearPairing(); // already unpaired: still erases and notifies
    EXPECT_EQ(notified, 3);
    EXPECT_FALSE(core->pairing);
    EXPECT_FALSE(Pairing::load());
}

TEST_F(CoreFixture, StartSamplesAtOnceAndTicksStopWithTheCore) {
    auto core = makeCore();
    front->current = window("A", "a", "first");
    int changes = 0;
    core->onContextChange = [&](const AgentContext&) { ++changes; };
    core->start();
    EXPECT_EQ(changes, 1) << "the first sample is taken by start itself";
    ASSERT_TRUE(core->contextTimer && core->actionTimer);

    front->current = window("A", "a", "second");
    EXPECT_TRUE(waitUntil([&] { return changes == 2; })) << "a title change waits for the tick";

    // A focus change is sampled without waiting for the tick.
    core->contextTimer->stop();
    front->moveFocus(window("B", "b", "other"));
    EXPECT_TRUE(waitUntil([&] { return changes == 3; }));
    EXPECT_EQ(core->lastContext.bundleId, QStringLiteral("b"));

    QPointer<QTimer> timer = core->contextTimer;
    core.reset();
    EXPECT_TRUE(timer.isNull()) << "no tick can reach a destroyed core";
}

} // namespace
