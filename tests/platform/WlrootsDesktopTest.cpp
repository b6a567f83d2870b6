#include "AgentContext.h"
#include "AgentCore.h"
#include "AgentError.h"
#include "DesktopSession.h"
#include "SwayDesktop.h"
#include "TempEnvironment.h"
#include "WlrootsSession.h"

#include <QJsonObject>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QString u(const char* text) {
    return QString::fromUtf8(text);
}

TEST(WlrootsDesktop, FollowsFocusTypesChordsAndSurvivesARestart) {
    SwayDesktop sway;
    ASSERT_TRUE(sway.ready() && wlroots::probe());
    ASSERT_TRUE(writeTestFile(qEnvironmentVariable("XDG_DATA_HOME") +
                                  u("/applications/org.vantor.First.desktop"),
                              "[Desktop Entry]\nType=Application\nName=First Tool\nExec=true\n"));
    const DesktopSession session = wlroots::open();
    CoreServices services = CoreServices::defaults();
    services.frontApplication = session.front;
    services.keys = session.keys;
    AgentCore core(services);
    std::vector<AgentContext> reported; // what /events streams
    core.onContextChange = [&](const AgentContext& context) { reported.push_back(context); };
    core.start();
    core.contextTimer->stop(); // only the compositor's events can bring a sample now
    const auto shortcut = [&](const char* keys) {
        return core.executeAction({{u("type"), u("shortcut")}, {u("keys"), u(keys)}}, 0);
    };

    WaylandWindow first(sway, "org.vantor.First", "Première ✓");
    WaylandWindow second(sway, "other-tool", "Second");
    struct Focus {
        const char *command, *app, *title;
    };
    for (const Focus& row : {Focus{"[app_id=org.vantor.First] focus", "First Tool", "Première ✓"},
                             {"[app_id=other-tool] focus", "other-tool", "Second"},
                             {"[app_id=org.vantor.First] focus", "First Tool", "Première ✓"}}) {
        SCOPED_TRACE(row.command);
        EXPECT_TRUE(waitUntil([&] {
            return sway.command(row.command) && !reported.empty() &&
                   reported.back().activeApp == u(row.app);
        }));
        EXPECT_EQ(core.lastContext.windowTitle, u(row.title));
    }
    core.contextTimer->start(); // a title of the same window waits for the tick
    first.retitle("Renamed ✓");
    EXPECT_TRUE(waitUntil([&] { return reported.back().windowTitle == u("Renamed ✓"); }));

    const char* chords[][2] = {{"command+shift+k", "6b cs"}, {"ß", "df -"}, {"option+é", "e9 a"}};
    std::vector<std::string> received;
    for (const auto& [keys, logged] : chords) {
        EXPECT_EQ(shortcut(keys), u("Sent ") + u(keys));
        received.emplace_back(logged);
    }
    EXPECT_EQ(first.keyLog(3), received);

    ASSERT_TRUE(sway.restart());
    EXPECT_TRUE(waitUntil([&] { return core.lastContext.activeApp == u("Unknown"); }));
    EXPECT_THROW(shortcut("k"), AgentError) << "never sent when nobody takes it";
    WaylandWindow after(sway, "after-restart", "After");
    EXPECT_TRUE(waitUntil(
        [&] {
            return sway.command("[app_id=after-restart] focus") &&
                   core.lastContext.bundleId == u("after-restart");
        },
        std::chrono::seconds(15)));
    EXPECT_EQ(shortcut("command+x"), u("Sent command+x"));
    EXPECT_EQ(after.keyLog(1), std::vector<std::string>{"78 c"});
    // Hidden with no other window to take the focus, it is deactivated and nothing replaces it.
    EXPECT_TRUE(sway.command("[app_id=after-restart] move scratchpad"));
    EXPECT_TRUE(waitUntil([&] { return core.lastContext.activeApp == u("Unknown"); }));
}

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
