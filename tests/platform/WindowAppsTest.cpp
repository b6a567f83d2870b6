#include "WindowApps.h"

#include "DesktopIndex.h"
#include "TempEnvironment.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using namespace Qt::StringLiterals;

void writeEntry(const QString& dir, const QString& id, const QString& body) {
    ASSERT_TRUE(writeTestFile(dir + QLatin1Char('/') + id,
                              "[Desktop Entry]\nType=Application\n" + body.toUtf8()));
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
        const QString user = env.dataHome() + u"/applications"_s;
        const QString system = env.path() + u"/data-dirs/applications"_s;
        const QString self = QFile::symLinkTarget(u"/proc/self/exe"_s);
        // clang-format off
        for (const auto& [dir, id, body] : {
                 std::tuple{user, "org.example.Editor.desktop", u"Name=Editor\nName[de]=Bearbeiter\nExec=editor %U\n"_s},
                 {user, "term.desktop", u"Name=Terminal\nStartupWMClass=XTerm-Custom\nExec=xterm\n"_s},
                 {system, "firefox.desktop", u"Name=Firefox Web\nExec=firefox %u\n"_s},
                 {system, "self.desktop", u"Name=Self\nExec="_s + self + u'\n'},
                 // The user's Hidden entry removes the system one of the same id.
                 {system, "gone.desktop", u"Name=Gone\nExec=gone\n"_s},
                 {user, "gone.desktop", u"Name=Gone\nHidden=true\n"_s}})
            writeEntry(dir, QLatin1String(id), body);
        // clang-format on
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
    const QString user = env.dataHome() + u"/applications"_s;
    QDir().mkpath(user);
    DesktopIndex index(std::chrono::seconds(0));
    index.refreshIfStale();
    EXPECT_EQ(index.byName("late app"), nullptr);
    writeEntry(user + u"/vendor"_s, u"late.desktop"_s, u"Name=Late App\nExec=late\n"_s);
    index.refreshIfStale();
    const IndexedApp* app = index.byName("late app");
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->id, "vendor-late.desktop");
}

} // namespace
