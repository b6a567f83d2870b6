#include "AgentError.h"
#include "DesktopAgent.h"
#include "DesktopSession.h"
#include "Log.h"
#include "WlrootsCompositor.h"
#include "WlrootsSession.h"

#include <QJsonObject>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const auto u = [](const char* text) { return QString::fromUtf8(text); };

class WlrootsDesktop : public testing::TestWithParam<const char*> {};

TEST_P(WlrootsDesktop, FollowsFocusTypesChordsAndSurvivesARestart) {
    WlrootsCompositor compositor(GetParam());
    if (!compositor.missing().empty())
        GTEST_SKIP() << compositor.missing();
    ASSERT_TRUE(compositor.ready() && wlroots::probe());
    ASSERT_TRUE(writeTestFile(qEnvironmentVariable("XDG_DATA_HOME") +
                                  u("/applications/org.vantor.First.desktop"),
                              "[Desktop Entry]\nType=Application\nName=First Tool\nExec=true\n"));
    QString log;
    setLogObserver([&](const QString& line) { log += line; });
    const DesktopSession session = wlroots::open();
    setLogObserver({});
    const bool keysOnly = qEnvironmentVariableIsSet("WLR_KEYS_ONLY");
    EXPECT_EQ(log.contains(u("lacks zwlr_foreign_toplevel_manager_v1")), keysOnly);
    DesktopAgent agent(session.front, session.keys, false);
    AgentCore& core = agent.core;
    const auto shortcut = [&](const char* keys) {
        return core.executeAction({{u("type"), u("shortcut")}, {u("keys"), u(keys)}}, 0);
    };

    WaylandWindow first(compositor, "org.vantor.First", "Première ✓");
    // Mapped alone, it takes the keyboard; cage tells nobody but the window itself.
    ASSERT_TRUE(waitUntil([&] { return first.active(); }));
    const char* chords[][2] = {{"command+shift+k", "6b cs"}, {"ß", "df -"}, {"option+é", "e9 a"}};
    std::vector<std::string> received;
    for (const auto& [keys, logged] : chords) {
        EXPECT_EQ(shortcut(keys), u("Sent ") + u(keys));
        received.emplace_back(logged);
    }
    EXPECT_EQ(first.keyLog(3), received);
    // Pins: cage 0.2 (keys, no foreign-toplevel) was refused. A kiosk moves no focus on request.
    if (std::string_view(GetParam()) == "cage") {
        EXPECT_TRUE(keysOnly ? agent.shows("Unknown")
                             : agent.shows("First Tool", nullptr, "Première ✓"));
        return;
    }
    WaylandWindow second(compositor, "other-tool", "Second");
    struct Focus {
        const char *appId, *app, *title;
    };
    for (const Focus& row : {Focus{"other-tool", "other-tool", "Second"},
                             {"org.vantor.First", "First Tool", "Première ✓"}}) {
        SCOPED_TRACE(row.appId);
        EXPECT_TRUE(waitUntil([&] {
            return compositor.focus(row.appId) && !agent.seen.empty() &&
                   agent.seen.back().activeApp == u(row.app);
        }));
        EXPECT_EQ(core.lastContext.windowTitle, u(row.title));
    }
    core.contextTimer->start(); // a title of the same window waits for the tick
    first.retitle("Renamed ✓");
    EXPECT_TRUE(waitUntil([&] { return agent.seen.back().windowTitle == u("Renamed ✓"); }));

    ASSERT_TRUE(compositor.restart());
    EXPECT_TRUE(agent.shows("Unknown"));
    EXPECT_THROW(shortcut("k"), AgentError) << "never sent when nobody takes it";
    WaylandWindow after(compositor, "after-restart", "After");
    EXPECT_TRUE(waitUntil(
        [&] {
            return compositor.focus("after-restart") &&
                   core.lastContext.bundleId == u("after-restart");
        },
        std::chrono::seconds(15)));
    EXPECT_EQ(shortcut("command+x"), u("Sent command+x"));
    EXPECT_EQ(after.keyLog(1), std::vector<std::string>{"78 c"});
    // Hidden with no other window to take the focus, it is deactivated and nothing replaces it.
    EXPECT_TRUE(compositor.focus("after-restart", true));
    EXPECT_TRUE(agent.shows("Unknown"));
    // Pins: `closed` not clearing focus. Closed while active, no deactivation comes first.
    auto last = std::make_unique<WaylandWindow>(compositor, "last-one", "Last");
    EXPECT_TRUE(agent.shows(nullptr, "last-one"));
    last.reset();
    EXPECT_TRUE(agent.shows("Unknown"));
}

// labwc proves the protocol path is not sway's alone; cage takes keys (and shows focus from 0.3).
INSTANTIATE_TEST_SUITE_P(Compositors, WlrootsDesktop, testing::Values("sway", "labwc", "cage"),
                         [](const auto& row) { return std::string(row.param); });

TEST(WlrootsDesktop, ProbeFailsFastWithoutACompositor) {
    // A peer that accepts the connection and never answers must not hold up the start.
    const std::string silent = "/tmp/vantor-silent-" + std::to_string(::getpid());
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    silent.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    for (const std::string& display : {std::string("/nonexistent/wayland-0"), silent}) {
        ::setenv("WAYLAND_DISPLAY", display.c_str(), 1);
        EXPECT_FALSE(wlroots::probe()) << display;
    }
    ::unsetenv("WAYLAND_DISPLAY");
    ::close(listener);
    ::unlink(silent.c_str());
}

} // namespace
