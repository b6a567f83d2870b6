#include "WindowApps.h"

#include "DesktopIndex.h"
#include "TempEnvironment.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

void writeEntry(const QString& dir, const QString& id, const QString& body) {
    ASSERT_TRUE(writeTestFile(dir + QLatin1Char('/') + id,
                              "[Desktop Entry]\nType=Application\n" + body.toUtf8()));
}

std::string selfExecutable() {
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return std::string(path, static_cast<std::size_t>(length > 0 ? length : 0));
}

struct WindowCase {
    const char* name;
    WindowIdentity window;
    std::optional<std::string> appName;
    std::optional<std::string> identifier;
};

class WindowAppCases : public testing::TestWithParam<WindowCase> {
protected:
    void SetUp() override {
        const QString user = env.dataHome() + QStringLiteral("/applications");
        const QString system = env.path() + QStringLiteral("/data-dirs/applications");
        writeEntry(user, QStringLiteral("org.example.Editor.desktop"),
                   QStringLiteral("Name=Editor\nName[de]=Bearbeiter\nExec=editor %U\n"));
        writeEntry(user, QStringLiteral("term.desktop"),
                   QStringLiteral("Name=Terminal\nStartupWMClass=XTerm-Custom\nExec=xterm\n"));
        writeEntry(system, QStringLiteral("firefox.desktop"),
                   QStringLiteral("Name=Firefox Web\nExec=firefox %u\n"));
        writeEntry(system, QStringLiteral("self.desktop"),
                   QStringLiteral("Name=Self\nExec=") + QString::fromStdString(selfExecutable()) +
                       QStringLiteral("\n"));
        // The user's Hidden entry removes the system one of the same id.
        writeEntry(system, QStringLiteral("gone.desktop"),
                   QStringLiteral("Name=Gone\nExec=gone\n"));
        writeEntry(user, QStringLiteral("gone.desktop"),
                   QStringLiteral("Name=Gone\nHidden=true\n"));
    }
    TempEnvironment env;
};

TEST_P(WindowAppCases, MapsToItsDesktopEntry) {
    DesktopIndex index;
    const WindowApp app = windowApp(index, GetParam().window);
    EXPECT_EQ(app.name, GetParam().appName);
    EXPECT_EQ(app.identifier, GetParam().identifier);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Windows, WindowAppCases, testing::Values(
    WindowCase{"GtkApplicationIdFirst", {"org.example.Editor", "term", "XTerm-Custom", 0}, "Editor", "org.example.Editor"},
    WindowCase{"StartupWmClass", {"", "xterm", "XTerm-Custom", 0}, "Terminal", "term"},
    WindowCase{"WmClassIsDesktopIdIgnoringCase", {"", "Navigator", "Firefox", 0}, "Firefox Web", "firefox"},
    WindowCase{"ProcessExecutable", {"", "unknown-instance", "UnknownClass", static_cast<unsigned>(::getpid())}, "Self", "self"},
    WindowCase{"HiddenEntryHidesTheId", {"", "gone", "GoneClass", 0}, "GoneClass", "gone"},
    WindowCase{"NoEntryUsesWmClass", {"", "tool-x", "ToolX", 0}, "ToolX", "tool-x"},
    WindowCase{"NothingKnown", {"", "", "", 0}, std::nullopt, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(DesktopIndex, SeesEntriesAddedAfterItWasBuilt) {
    TempEnvironment env;
    const QString user = env.dataHome() + QStringLiteral("/applications");
    QDir().mkpath(user);
    DesktopIndex index(std::chrono::seconds(0));
    index.refreshIfStale();
    EXPECT_EQ(index.byName("late app"), nullptr);
    writeEntry(user + QStringLiteral("/vendor"), QStringLiteral("late.desktop"),
               QStringLiteral("Name=Late App\nExec=late\n"));
    index.refreshIfStale();
    const IndexedApp* app = index.byName("late app");
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->id, "vendor-late.desktop");
}

} // namespace
