#include "DesktopAgent.h"
#include "X11FrontApplication.h"
#include "XDesktop.h"

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
    auto source = std::make_shared<X11FrontApplicationSource>();
    DesktopAgent agent(source, {}, false);
    AgentCore& core = agent.core;
    const size_t started = agent.seen.size();
    {
        TestWindow first({.title = "Première fenêtre ✓"});
        EXPECT_TRUE(agent.shows("Test Client", "vantor-test-client", "Première fenêtre ✓"));
        // Its _NET_WM_PID names the first window's process: the server tells the truth.
        TestWindow second({.title = "Second",
                           .instance = "other-tool",
                           .wmClass = "OtherTool",
                           .claimedPid = first.pid()});
        EXPECT_TRUE(agent.shows("OtherTool", "other-tool", "Second"));
        EXPECT_EQ(source->frontApplication().value_or(FrontApplication{}).pid, second.pid());
        EXPECT_EQ(agent.seen.size(), started + 2);
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
