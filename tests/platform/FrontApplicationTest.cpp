#include "AgentContext.h"
#include "AgentCore.h"
#include "TempEnvironment.h"
#include "X11FrontApplication.h"
#include "XDesktop.h"

#include <QDir>
#include <QFile>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

CoreServices x11Services() {
    CoreServices services = CoreServices::defaults();
    services.frontApplication = std::make_shared<X11FrontApplicationSource>();
    services.scriptRunnerPath = QStringLiteral(VANTOR_RUNTIME_DIR "/vantor-osascript");
    return services;
}

TEST(FrontApplication, FollowsTheFocusedWindowAndFallsBackToTheDefaults) {
    TempEnvironment env;
    const QString apps = env.dataHome() + QStringLiteral("/applications");
    QDir().mkpath(apps);
    QFile entry(apps + QStringLiteral("/vantor-test-client.desktop"));
    ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
    entry.write("[Desktop Entry]\nType=Application\nName=Test Client\nExec=true\n");
    entry.close();
    XDesktop desktop;
    ASSERT_TRUE(desktop.ready());

    AgentCore core(x11Services());
    int changes = 0;
    core.onContextChange = [&](const AgentContext&) { ++changes; };
    {
        TestWindow first({.title = "Première fenêtre ✓"});
        ASSERT_TRUE(first.waitUntilActive());
        core.pollContext();
        EXPECT_EQ(core.lastContext.activeApp, QStringLiteral("Test Client"));
        EXPECT_EQ(core.lastContext.bundleId, QStringLiteral("vantor-test-client"));
        EXPECT_EQ(core.lastContext.windowTitle, QStringLiteral("Première fenêtre ✓"));

        TestWindow second({.title = "Second", .instance = "other-tool", .wmClass = "OtherTool"});
        ASSERT_TRUE(second.waitUntilActive());
        core.pollContext();
        EXPECT_EQ(core.lastContext.activeApp, QStringLiteral("OtherTool"));
        EXPECT_EQ(core.lastContext.bundleId, QStringLiteral("other-tool"));
        EXPECT_EQ(core.lastContext.windowTitle, QStringLiteral("Second"));
        EXPECT_EQ(changes, 2);
    }
    EXPECT_TRUE(waitUntil([&] {
        core.pollContext();
        return core.lastContext.bundleId == QStringLiteral("unknown");
    }));
    EXPECT_EQ(core.lastContext.activeApp, QStringLiteral("Unknown"));
    EXPECT_EQ(core.lastContext.windowTitle, QString()) << "no front window: the empty title";
}

TEST(FrontApplication, FocusAndTitleArriveAsEvents) {
    XDesktop desktop;
    ASSERT_TRUE(desktop.ready());
    AgentCore core(x11Services());
    core.start();
    core.contextTimer->stop(); // only the desktop's events can bring a sample now
    TestWindow window({.title = "Evented"});
    EXPECT_TRUE(
        waitUntil([&] { return core.lastContext.windowTitle == QStringLiteral("Evented"); }));
    EXPECT_EQ(core.lastContext.bundleId, QStringLiteral("vantor-test-client"));
}

TEST(FrontApplication, ReconnectsWhenTheXServerComesBack) {
    X11FrontApplicationSource source;
    {
        XDesktop first;
        ASSERT_TRUE(first.ready());
        TestWindow window;
        ASSERT_TRUE(window.waitUntilActive());
        ASSERT_TRUE(source.frontApplication());
        first.killServer();
        EXPECT_FALSE(source.frontApplication());
    }
    XDesktop second;
    ASSERT_TRUE(second.ready());
    TestWindow window({.instance = "after-restart"});
    ASSERT_TRUE(window.waitUntilActive());
    const auto front = source.frontApplication();
    ASSERT_TRUE(front);
    EXPECT_EQ(front->identifier, QStringLiteral("after-restart"));
}

TEST(FrontApplication, NoWindowManagerMeansNoFrontApplication) {
    XDesktop bare(false);
    ASSERT_TRUE(bare.ready());
    TestWindow window;
    X11FrontApplicationSource source;
    EXPECT_FALSE(source.frontApplication());
}

} // namespace
