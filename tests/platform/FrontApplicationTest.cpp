#include "AgentContext.h"
#include "AgentCore.h"
#include "TempEnvironment.h"
#include "X11FrontApplication.h"
#include "XDesktop.h"

#include <QTimer>
#include <gtest/gtest.h>

namespace {

// Only the desktop's events bring samples here (the tick is stopped) until no window is left: a
// lasting "no window" is the tick's to report.
TEST(FrontApplication, FollowsTheFocusedWindowByEventsAndFallsBackToTheDefaults) {
    TempEnvironment env;
    ASSERT_TRUE(
        writeTestFile(env.dataHome() + QStringLiteral("/applications/vantor-test-client.desktop"),
                      "[Desktop Entry]\nType=Application\nName=Test Client\nExec=true\n"));
    XDesktop desktop;
    ASSERT_TRUE(desktop.ready());
    CoreServices services = CoreServices::defaults();
    auto source = std::make_shared<X11FrontApplicationSource>();
    services.frontApplication = source;
    AgentCore core(services);
    core.start();
    core.contextTimer->stop();
    int changes = 0;
    core.onContextChange = [&](const AgentContext&) { ++changes; };
    const auto shows = [&](const char* app, const char* id, const char* title) {
        return waitUntil(
                   [&] { return core.lastContext.windowTitle == QString::fromUtf8(title); }) &&
               core.lastContext.activeApp == QLatin1String(app) &&
               core.lastContext.bundleId == QLatin1String(id);
    };
    {
        TestWindow first({.title = "Première fenêtre ✓"});
        EXPECT_TRUE(shows("Test Client", "vantor-test-client", "Première fenêtre ✓"));
        // Its _NET_WM_PID names the first window's process: the server tells the truth.
        TestWindow second({.title = "Second",
                           .instance = "other-tool",
                           .wmClass = "OtherTool",
                           .claimedPid = first.pid()});
        EXPECT_TRUE(shows("OtherTool", "other-tool", "Second"));
        EXPECT_EQ(source->frontApplication().value_or(FrontApplication{}).pid, second.pid());
        EXPECT_EQ(changes, 2);
    }
    EXPECT_TRUE(waitUntil([&] {
        core.pollContext();
        return core.lastContext.bundleId == QStringLiteral("unknown");
    }));
    EXPECT_EQ(core.lastContext.activeApp, QStringLiteral("Unknown"));
    EXPECT_EQ(core.lastContext.windowTitle, QString()) << "no front window: the empty title";
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

} // namespace
