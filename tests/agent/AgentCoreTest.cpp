#include "AgentCore.h"

#include "FrontApplication.h"
#include "TempEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/stat.h>

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

FrontApplication window(const char* name, const char* title, const char* id = "x") {
    return {name ? std::optional(QString::fromUtf8(name)) : std::nullopt, QString::fromUtf8(id),
            QString::fromUtf8(title)};
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

// Sampling reads the desktop's state; only the Chromium family and Safari run a script, each its
// own, for the address.
TEST_F(CoreFixture, SamplingReportsOnlyChanges) {
    const auto editor = window("Editor", "  notes.txt \n", "org.example.Editor");
    const QString notes = QStringLiteral("notes.txt"), docs = QStringLiteral("Docs");
    const std::optional<QString> url = QStringLiteral("https://example.com/page");
    const struct {
        const char* name;
        std::optional<FrontApplication> front;
        bool changes;
        const char* app;
        const char* bundleId;
        std::optional<QString> windowTitle;
        std::optional<QString> browserUrl = std::nullopt;
    } steps[] = {
        {"NoFrontWindowIsTheEmptyTitle", std::nullopt, true, "Unknown", "unknown", QString()},
        {"FrontAppAppears", editor, true, "Editor", "org.example.Editor", notes},
        {"OnlyTimeDiffers", editor, false, "Editor", "org.example.Editor", notes},
        {"Nameless", window(nullptr, "notes.txt"), true, "Unknown", "x", notes},
        {"TitleOnly", window(nullptr, "other"), true, "Unknown", "x", QStringLiteral("other")},
        {"ChromiumFamily", window("B", "Docs", "com.brave.Browser"), true, "B", "com.brave.Browser",
         docs, url},
        {"Safari", window("S", "Docs", "com.apple.Safari"), true, "S", "com.apple.Safari", docs,
         url},
    };
    auto core = makeCore();
    std::vector<AgentContext> reported;
    core->onContextChange = [&](const AgentContext& context) { reported.push_back(context); };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        front->current = step.front;
        const size_t count = reported.size();
        core->pollContext();
        const AgentContext& now = core->lastContext;
        EXPECT_EQ(reported.size(), count + (step.changes ? 1 : 0));
        EXPECT_EQ(now, (AgentContext{QString::fromUtf8(step.app), QString::fromUtf8(step.bundleId),
                                     step.windowTitle, step.browserUrl, now.at}));
        EXPECT_TRUE(!step.changes || reported.back() == now);
    }
    EXPECT_EQ(scriptLog(), QStringLiteral("tell application id \"com.brave.Browser\" to return URL "
                                          "of active tab of front window\n--\n"
                                          "tell application id \"com.apple.Safari\" to return URL "
                                          "of front document\n--\n"));
}

TEST_F(CoreFixture, StartSamplesAtOnceAndTicksStopWithTheCore) {
    auto core = makeCore();
    front->current = window("A", "first", "a");
    int changes = 0;
    core->onContextChange = [&](const AgentContext&) { ++changes; };
    core->start();
    EXPECT_EQ(changes, 1) << "the first sample is taken by start itself";
    ASSERT_TRUE(core->contextTimer && core->actionTimer);

    front->current = window("A", "second", "a");
    EXPECT_TRUE(waitUntil([&] { return changes == 2; })) << "a title change waits for the tick";

    // A focus change is sampled without waiting for the tick.
    core->contextTimer->stop();
    front->moveFocus(window("B", "other", "b"));
    EXPECT_TRUE(waitUntil([&] { return changes == 3; }));
    EXPECT_EQ(core->lastContext.bundleId, QStringLiteral("b"));

    QPointer<QTimer> timer = core->contextTimer;
    core.reset();
    EXPECT_TRUE(timer.isNull()) << "no tick can reach a destroyed core";
}

mode_t modeOf(const QString& path) {
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 0777;
}

TEST(Pairing, PrivateStoreRoundTripsAndIncompleteStoresStartUnpaired) {
    TempEnvironment env;
    // Pins writing through a link to another file, and a folder left writable by others.
    const QString folder = QFileInfo(Pairing::storePath()).absolutePath();
    const QString other = env.path() + QStringLiteral("/other");
    ASSERT_TRUE(QDir().mkpath(folder) && ::chmod(QFile::encodeName(folder), 0777) == 0);
    ASSERT_TRUE(writeTestFile(other, "mine") && QFile::link(other, Pairing::storePath()));
    const Pairing stored{QStringLiteral(" https://cloud.example/ "), QStringLiteral("ab12Cd"),
                         QStringLiteral("s3cr=t, \"quoted\"; ünïcode\\ @at #hash\n")};
    stored.save();
    EXPECT_EQ(modeOf(Pairing::storePath()), 0600u);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_FALSE(QFileInfo(Pairing::storePath()).isSymLink());
    QFile untouched(other);
    EXPECT_TRUE(untouched.open(QIODevice::ReadOnly) && untouched.readAll() == "mine");
    AgentCore core;
    EXPECT_EQ(core.pairing, stored) << "a restart finds the stored pairing";

    int notified = 0;
    core.onPairingChange = [&] { ++notified; };
    const struct {
        const char* name;
        const char* body; // nullptr: unpaired by the core
        bool reportsProblem;
    } cases[] = {
        {"Erased", nullptr, false},
        {"SecretEmpty", "[General]\ncloudUrl=https://x\npairCode=ABCDEF\npairSecret=\n", true},
        {"Binary", "\x01\x02\xff\xfe[\n=\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        core.lastCloudError = QStringLiteral("offline");
        if (!c.body)
            core.clearPairing();
        else
            ASSERT_TRUE(writeTestFile(Pairing::storePath(), c.body));
        EXPECT_EQ(!c.body, !core.pairing && !core.lastCloudError);
        QString problem;
        EXPECT_FALSE(Pairing::load(&problem));
        EXPECT_EQ(!problem.isEmpty(), c.reportsProblem) << problem.toStdString();
        core.pair(stored);
        EXPECT_EQ(Pairing::load(), stored);
        EXPECT_FALSE(core.lastCloudError);
    }
    EXPECT_EQ(notified, 4) << "each pair and clear tells";
}

} // namespace
