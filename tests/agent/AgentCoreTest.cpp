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
    AgentCore::Clock::time_point clock{}; // moved by hand: the spacing is read, never waited for
    services.now = [&] { return clock; };
    auto core = std::make_unique<AgentCore>(services);
    const auto editor = window("Editor", "  notes.txt \n", "org.example.Editor");
    const QString url = u"https://example.com/page"_s;
    // clang-format off
    // context: its time aside.
    const struct { const char* name; std::optional<FrontApplication> front; bool changes; AgentContext context; } steps[] = {
        {"NoFrontWindowIsTheEmptyTitle", std::nullopt, true, {u"Unknown"_s, u"unknown"_s, u""_s, {}, {}}},
        {"FrontAppAppears", editor, true, {u"Editor"_s, u"org.example.Editor"_s, u"notes.txt"_s, {}, {}}},
        {"OnlyTimeDiffers", editor, false, {u"Editor"_s, u"org.example.Editor"_s, u"notes.txt"_s, {}, {}}},
        {"Nameless", window(nullptr, "notes.txt"), true, {u"Unknown"_s, u"x"_s, u"notes.txt"_s, {}, {}}},
        {"TitleOnly", window(nullptr, "other"), true, {u"Unknown"_s, u"x"_s, u"other"_s, {}, {}}},
        {"ChromiumFamily", window("B", "Docs", "com.brave.Browser"), true, {u"B"_s, u"com.brave.Browser"_s, u"Docs"_s, url, {}}},
        {"Safari", window("S", "Docs", "com.apple.Safari"), true, {u"S"_s, u"com.apple.Safari"_s, u"Docs"_s, url, {}}},
    };
    // clang-format on
    std::vector<AgentContext> reported;
    core->onContextChange = [&](const AgentContext& context) { reported.push_back(context); };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        front->current = step.front;
        const size_t count = reported.size();
        core->pollContext();
        AgentContext expected = step.context;
        expected.at = core->lastContext.at;
        EXPECT_EQ(core->lastContext, expected);
        EXPECT_EQ(reported.size(), count + (step.changes ? 1 : 0));
        EXPECT_TRUE(!step.changes || reported.back() == expected);
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
    front->current = window("B", "other", "b");
    front->onFocusChange();
    EXPECT_TRUE(waitUntil([&] { return reported.back().bundleId == u"b"_s; }))
        << "a focus change does not";
    // Pins: focus samples unthrottled, or their 250 ms spacing inverted.
    for (const auto& [name, advance, wait] : {std::tuple{"WithinTheSpacingWaitsTheRest", 100, 150},
                                              std::tuple{"PastTheSpacingAtOnce", 250, 0}}) {
        SCOPED_TRACE(name);
        const size_t count = reported.size();
        clock += std::chrono::milliseconds(advance);
        front->current = window("C", name, name);
        front->onFocusChange();
        EXPECT_EQ(core->focusSampleTimer->interval(), wait);
        EXPECT_TRUE(waitUntil([&] { return reported.size() > count; }));
    }

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
    core.lastCloudError = u"offline"_s;
    core.clearPairing();
    EXPECT_FALSE(core.pairing || core.lastCloudError || Pairing::load());
    core.lastCloudError = u"offline"_s;
    core.pair(stored);
    EXPECT_FALSE(core.lastCloudError);
    EXPECT_EQ(Pairing::load(), stored);
    EXPECT_EQ(notified, 2) << "pair and clear tell";

    // An incomplete store starts unpaired, and says why.
    ASSERT_TRUE(writeTestFile(Pairing::storePath(),
                              "[General]\ncloudUrl=https://x\npairCode=ABCDEF\npairSecret=\n"));
    QString problem;
    EXPECT_FALSE(Pairing::load(&problem));
    EXPECT_EQ(problem, u"the stored pairing is incomplete"_s);
}

} // namespace
