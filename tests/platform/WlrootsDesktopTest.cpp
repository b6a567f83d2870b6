#include "AgentContext.h"
#include "AgentCore.h"
#include "AgentError.h"
#include "DesktopSession.h"
#include "Log.h"
#include "TempEnvironment.h"
#include "WlrootsCompositor.h"
#include "WlrootsSession.h"

#include <QJsonObject>
#include <QTimer>
#include <QVersionNumber>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QString u(const char* text) {
    return QString::fromUtf8(text);
}

// The agent on a wlroots compositor, as the tray wires it; `reported` is what /events streams.
struct Agent {
    DesktopSession session = wlroots::open();
    AgentCore core{[this] {
        CoreServices services = CoreServices::defaults();
        services.frontApplication = session.front;
        services.keys = session.keys;
        return services;
    }()};
    std::vector<AgentContext> reported;

    Agent() {
        core.onContextChange = [this](const AgentContext& context) { reported.push_back(context); };
        core.start();
        core.contextTimer->stop(); // only the compositor's events can bring a sample now
    }
    QString shortcut(const char* keys) {
        return core.executeAction({{u("type"), u("shortcut")}, {u("keys"), u(keys)}}, 0);
    }
};

class WlrootsDesktop : public testing::TestWithParam<const char*> {};

TEST_P(WlrootsDesktop, FollowsFocusTypesChordsAndSurvivesARestart) {
    if (const std::string missing = WlrootsCompositor::missing(GetParam()); !missing.empty())
        GTEST_SKIP() << missing;
    WlrootsCompositor compositor(GetParam());
    ASSERT_TRUE(compositor.ready() && wlroots::probe());
    ASSERT_TRUE(writeTestFile(qEnvironmentVariable("XDG_DATA_HOME") +
                                  u("/applications/org.vantor.First.desktop"),
                              "[Desktop Entry]\nType=Application\nName=First Tool\nExec=true\n"));
    Agent agent;
    AgentCore& core = agent.core;

    WaylandWindow first(compositor, "org.vantor.First", "Première ✓");
    WaylandWindow second(compositor, "other-tool", "Second");
    struct Focus {
        const char *appId, *app, *title;
    };
    for (const Focus& row : {Focus{"org.vantor.First", "First Tool", "Première ✓"},
                             {"other-tool", "other-tool", "Second"},
                             {"org.vantor.First", "First Tool", "Première ✓"}}) {
        SCOPED_TRACE(row.appId);
        EXPECT_TRUE(waitUntil([&] {
            return compositor.focus(row.appId) && !agent.reported.empty() &&
                   agent.reported.back().activeApp == u(row.app);
        }));
        EXPECT_EQ(core.lastContext.windowTitle, u(row.title));
    }
    core.contextTimer->start(); // a title of the same window waits for the tick
    first.retitle("Renamed ✓");
    EXPECT_TRUE(waitUntil([&] { return agent.reported.back().windowTitle == u("Renamed ✓"); }));

    const char* chords[][2] = {{"command+shift+k", "6b cs"}, {"ß", "df -"}, {"option+é", "e9 a"}};
    std::vector<std::string> received;
    for (const auto& [keys, logged] : chords) {
        EXPECT_EQ(agent.shortcut(keys), u("Sent ") + u(keys));
        received.emplace_back(logged);
    }
    EXPECT_EQ(first.keyLog(3), received);

    ASSERT_TRUE(compositor.restart());
    EXPECT_TRUE(waitUntil([&] { return core.lastContext.activeApp == u("Unknown"); }));
    EXPECT_THROW(agent.shortcut("k"), AgentError) << "never sent when nobody takes it";
    WaylandWindow after(compositor, "after-restart", "After");
    EXPECT_TRUE(waitUntil(
        [&] {
            return compositor.focus("after-restart") &&
                   core.lastContext.bundleId == u("after-restart");
        },
        std::chrono::seconds(15)));
    EXPECT_EQ(agent.shortcut("command+x"), u("Sent command+x"));
    EXPECT_EQ(after.keyLog(1), std::vector<std::string>{"78 c"});
    // Hidden with no other window to take the focus, it is deactivated and nothing replaces it.
    EXPECT_TRUE(compositor.hide("after-restart"));
    EXPECT_TRUE(waitUntil([&] { return core.lastContext.activeApp == u("Unknown"); }));
}

// The same protocol path on a second compositor: not sway's alone.
INSTANTIATE_TEST_SUITE_P(Compositors, WlrootsDesktop, testing::Values("sway", "labwc"),
                         [](const auto& row) { return std::string(row.param); });

// Pins: a compositor with a virtual keyboard but no foreign-toplevel (cage) was refused, so no
// chord was pressed there.
TEST(WlrootsKeysOnly, PressesChordsWithoutKnowingTheFocus) {
    if (const std::string missing = WlrootsCompositor::missing("cage"); !missing.empty())
        GTEST_SKIP() << missing;
    WlrootsCompositor cage("cage");
    ASSERT_TRUE(cage.ready());
    if (const QString version = cage.version();
        QVersionNumber::fromString(version) < QVersionNumber(0, 2)) {
        EXPECT_FALSE(wlroots::probe()) << "a compositor with neither protocol is not taken";
        GTEST_SKIP() << "cage " << version.toStdString()
                     << " offers no virtual keyboard (0.2 does): no chord to prove";
    }
    ASSERT_TRUE(wlroots::probe());
    WaylandWindow window(cage, "kiosk", "Kiosk");
    ASSERT_TRUE(waitUntil([&] { return window.active(); }));
    QStringList logged;
    setLogObserver([&](const QString& line) { logged.append(line); });
    Agent agent;
    setLogObserver({});
    EXPECT_TRUE(logged.join(u("\n")).contains(u("lacks zwlr_foreign_toplevel_manager_v1")))
        << logged.join(u("\n")).toStdString();
    EXPECT_EQ(agent.core.lastContext.activeApp, u("Unknown"));
    EXPECT_EQ(agent.shortcut("command+shift+k"), u("Sent command+shift+k"));
    EXPECT_EQ(window.keyLog(1), std::vector<std::string>{"6b cs"});
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
