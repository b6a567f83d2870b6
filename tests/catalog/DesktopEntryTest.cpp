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

struct LocaleCase {
    const char* name;
    const char* locale;
    const char* expected;
};
void PrintTo(const LocaleCase& c, std::ostream* os) {
    *os << c.name;
}

class LocaleCases : public testing::TestWithParam<LocaleCase> {};

TEST_P(LocaleCases, PicksTheBestName) {
    const auto entry = DesktopEntry::parse(kEntry);
    EXPECT_EQ(entry.localeString("Name", GetParam().locale), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Locales, LocaleCases,
                         testing::Values(LocaleCase{"Default", "", "Text Editor"},
                                         LocaleCase{"C", "C.UTF-8", "Text Editor"},
                                         LocaleCase{"Language", "de_CH.UTF-8", "Texteditor"},
                                         LocaleCase{"Country", "de_AT.UTF-8", "Texteditor (AT)"},
                                         LocaleCase{"ModifierWithoutCountry", "sr_RS@latin",
                                                    "Uređivač"},
                                         LocaleCase{"Unlisted", "fr_FR", "Text Editor"}),
                         [](const auto& info) { return std::string(info.param.name); });

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

struct ExecCase {
    const char* name;
    const char* exec; // with the string escapes already applied
    std::optional<std::vector<std::string>> expected;
};
void PrintTo(const ExecCase& c, std::ostream* os) {
    *os << c.name;
}

class ExecCases : public testing::TestWithParam<ExecCase> {};

TEST_P(ExecCases, Splits) {
    EXPECT_EQ(splitExec(GetParam().exec, {"editor-icon", "Editor", "/apps/editor.desktop"}),
              GetParam().expected);
}

using Args = std::vector<std::string>;
INSTANTIATE_TEST_SUITE_P(
    Exec, ExecCases,
    testing::Values(ExecCase{"Plain", "gedit --new-window", Args{"gedit", "--new-window"}},
                    ExecCase{"FieldCodesVanish", "app %U --x %f", Args{"app", "--x"}},
                    ExecCase{"Quoted", R"(sh -c "echo \"$HOME\" \\ \`x\`" "")",
                             Args{"sh", "-c", "echo \"$HOME\" \\ `x`", ""}},
                    ExecCase{"PercentLiteral", "app 100%%", Args{"app", "100%"}},
                    ExecCase{
                        "IconNameAndPath", "app %i %c %k",
                        Args{"app", "--icon", "editor-icon", "Editor", "/apps/editor.desktop"}},
                    ExecCase{"UnterminatedQuote", "app \"open", std::nullopt},
                    ExecCase{"UnknownFieldCode", "app %z", std::nullopt},
                    ExecCase{"Empty", "   ", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DesktopEntry, ExecFromAFileUnescapesTwice) {
    const auto exec = DesktopEntry::parse(kEntry).string("Exec");
    ASSERT_TRUE(exec);
    EXPECT_EQ(splitExec(*exec), (Args{"sh", "-c", "echo \"$HOME\" 100%"}));
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
