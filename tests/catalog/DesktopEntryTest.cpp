#include "DesktopEntry.h"

#include "TempEnvironment.h"
#include "XdgDirs.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace {

const std::string kEntry = R"(# leading comment
Name=ignored, before any group
[Desktop Entry]
Type = Application
Name=Text Editor
Name[de]=Texteditor
Name[de_AT]=Texteditor (AT)
Name[sr@latin]=Uređivač
Name=duplicate loses
Comment=Two\slines\nand a tab\t, back\\slash, odd \q
Keywords=a;b\;c;d\sx;
NoDisplay=true
Hidden=True
Exec=sh -c "echo \\"$HOME\\" 100%%" %U
malformed line
[Desktop Action new]
Name=New Window
)";

TEST(DesktopEntry, PicksTheBestLocalisedName) {
    const struct {
        const char* name;
        const char* locale;
        const char* expected;
    } cases[] = {
        {"Default", "", "Text Editor"},
        {"C", "C.UTF-8", "Text Editor"},
        {"Language", "de_CH.UTF-8", "Texteditor"},
        {"Country", "de_AT.UTF-8", "Texteditor (AT)"},
        {"ModifierWithoutCountry", "sr_RS@latin", "Uređivač"},
        {"Unlisted", "fr_FR", "Text Editor"},
    };
    const auto entry = DesktopEntry::parse(kEntry);
    for (const auto& c : cases)
        EXPECT_EQ(entry.localeString("Name", c.locale), c.expected) << c.name;
}

TEST(DesktopEntry, ReadsGroupsEscapesListsAndBooleans) {
    const auto entry = DesktopEntry::parse(kEntry);
    EXPECT_EQ(entry.string("Type"), "Application");
    EXPECT_EQ(entry.string("Comment"), "Two lines\nand a tab\t, back\\slash, odd \\q");
    EXPECT_EQ(entry.list("Keywords"), (std::vector<std::string>{"a", "b;c", "d x"}));
    EXPECT_TRUE(entry.boolean("NoDisplay"));
    EXPECT_FALSE(entry.boolean("Hidden")) << "only the exact value true is true";
    EXPECT_EQ(entry.string("Name", "Desktop Action new"), "New Window");
    EXPECT_FALSE(entry.raw("malformed line"));
    EXPECT_FALSE(DesktopEntry::parse("\x01\xff[\n=\n[x\nk=v").hasGroup("Desktop Entry"));
}

using Args = std::vector<std::string>;

TEST(DesktopEntry, SplitsExec) {
    const std::string url = "https://x.test/?a=1&b";
    const struct {
        const char* name;
        std::string exec; // with the string escapes already applied
        std::optional<Args> expected;
        std::optional<std::string> target = std::nullopt;
    } cases[] = {
        {"Plain", "gedit --new-window", Args{"gedit", "--new-window"}},
        {"FieldCodesVanish", "app %U --x %f", Args{"app", "--x"}},
        {"Quoted", R"(sh -c "echo \"$HOME\" \\ \`x\`" "")",
         Args{"sh", "-c", "echo \"$HOME\" \\ `x`", ""}},
        {"PercentLiteral", "app 100%%", Args{"app", "100%"}},
        {"IconNameAndPath", "app %i %c %k",
         Args{"app", "--icon", "editor-icon", "Editor", "/apps/editor.desktop"}},
        {"UnterminatedQuote", "app \"open", std::nullopt},
        {"UnknownFieldCode", "app %z", std::nullopt},
        {"Empty", "   ", std::nullopt},
        {"TargetTakenOnce", "viewer %F --also %U", Args{"viewer", url, "--also"}, url},
        {"TargetAppended", "plain", Args{"plain", url}, url},
        {"FromAFileUnescapedTwice", DesktopEntry::parse(kEntry).string("Exec").value(),
         Args{"sh", "-c", "echo \"$HOME\" 100%"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(splitExec(c.exec, {"editor-icon", "Editor", "/apps/editor.desktop", c.target}),
                  c.expected)
            << c.name;
}

TEST(XdgDirs, FindsDesktopFilesInLookupOrder) {
    TempEnvironment env;
    const QString system = env.path() + QStringLiteral("/data-dirs/applications");
    const QString user = env.dataHome() + QStringLiteral("/applications");
    for (const QString& file :
         {system + QStringLiteral("/a.desktop"), user + QStringLiteral("/a.desktop"),
          system + QStringLiteral("/vendor/b.desktop")}) {
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile(file).open(QIODevice::WriteOnly);
    }
    const auto dirs = xdg::applicationDirs();
    ASSERT_GE(dirs.size(), 2u);
    EXPECT_EQ(dirs[0], user.toStdString());
    EXPECT_EQ(dirs[1], system.toStdString());
    EXPECT_EQ(xdg::findDesktopFile("a.desktop"), user.toStdString() + "/a.desktop");
    EXPECT_EQ(xdg::findDesktopFile("vendor-b.desktop"), system.toStdString() + "/vendor/b.desktop");
    EXPECT_EQ(xdg::desktopIdFor(system.toStdString(), system.toStdString() + "/vendor/b.desktop"),
              "vendor-b.desktop");
    EXPECT_FALSE(xdg::findDesktopFile("missing.desktop"));
    EXPECT_FALSE(xdg::findDesktopFile("../a.desktop"));
}

} // namespace
