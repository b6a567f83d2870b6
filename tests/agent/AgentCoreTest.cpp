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

using namespace Qt::StringLiterals;

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

// Sampling reads the desktop's state; only the Chromium family and Safari run a script, each its
// own, for the address. Started, the core samples at once, then on its tick and on focus changes.
TEST(Core, SamplingReportsOnlyChangesOnTicksAndFocusChanges) {
    TempEnvironment env;
    const QString log = env.path() + u"/scripts.log"_s;
    const auto front = std::make_shared<FakeFrontApplication>();
    CoreServices services = CoreServices::defaults();
    services.frontApplication = front;
    // A script runner stand-in: prints one address and records every script text it is given.
    services.scriptRunnerPath = env.writeScript(
        u"runner"_s,
        u"printf '%s\\n--\\n' \"$2\" >> '%1'\necho https://example.com/page\n"_s.arg(log));
    auto core = std::make_unique<AgentCore>(services);
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
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(file.readAll()),
              QStringLiteral("tell application id \"com.brave.Browser\" to return URL "
                             "of active tab of front window\n--\n"
                             "tell application id \"com.apple.Safari\" to return URL "
                             "of front document\n--\n"));

    front->current = window("A", "first", "a");
    core->start();
    EXPECT_EQ(reported.back().windowTitle, u"first"_s) << "start samples at once";
    ASSERT_TRUE(core->contextTimer);
    front->current = window("A", "second", "a");
    EXPECT_TRUE(waitUntil([&] { return reported.back().windowTitle == u"second"_s; }))
        << "a title change waits for the tick";
    core->contextTimer->stop();
    front->moveFocus(window("B", "other", "b"));
    EXPECT_TRUE(waitUntil([&] { return reported.back().bundleId == u"b"_s; }))
        << "a focus change does not";

    QPointer<QTimer> timer = core->contextTimer;
    core.reset();
    EXPECT_TRUE(timer.isNull()) << "no tick can reach a destroyed core";
}

mode_t modeOf(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 0777 : 0;
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
    EXPECT_EQ(notified, 3) << "each pair and clear tells";
}

} // namespace
