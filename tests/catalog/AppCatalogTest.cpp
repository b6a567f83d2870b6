#include "AppCatalog.h"

#include "DesktopEntry.h"
#include "TempEnvironment.h"
#include "XdgDirs.h"

#include <QFile>
#include <QTimeZone>
#include <atomic>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

QByteArray app(const char* name, const char* extra = "") {
    return QByteArray("[Desktop Entry]\nType=Application\nExec=true\nName=") + name + "\n" + extra;
}

// Three roots in a private home: the user's, a data dir's, a third like the flatpak exports.
// "@0".."@2" in a path stand for them.
class Catalog : public testing::Test {
protected:
    QString at(const char* path) const {
        QString value = QString::fromUtf8(path);
        for (int i = 0; i < 3; ++i)
            value.replace(u"@%1"_s.arg(i), m_roots[i]);
        return value;
    }
    void write(const char* path, const QByteArray& bytes) {
        ASSERT_TRUE(writeTestFile(at(path), bytes)) << path;
    }
    AppCatalog make() {
        return AppCatalog(m_roots, [this] { return m_now; });
    }

    TempEnvironment m_env;
    QStringList m_roots{m_env.dataHome() + u"/applications"_s,
                        m_env.path() + u"/data-dirs/applications"_s,
                        m_env.path() + u"/flatpak/applications"_s};
    QDateTime m_now = QDateTime(QDate(2026, 12, 5), QTime(11, 20), QTimeZone::utc());
};

TEST_F(Catalog, ListsShownApplicationsOncePerIdSortedByLocalisedName) {
    write("@0/plain.desktop", app("Plain"));
    write("@0/link.desktop", "[Desktop Entry]\nType=Link\nName=Link\n");
    write("@0/nodisplay.desktop", app("NoDisplay", "NoDisplay=true\n"));
    write("@0/noname.desktop", "[Desktop Entry]\nType=Application\n");
    write("@0/upper.DESKTOP", app("Upper"));
    write("@0/local.desktop", app("Local", "Name[de]=Lokal\n"));
    write("@0/action.desktop", "[Desktop Action x]\nType=Application\nName=A\n");
    // The first root holding an id owns it, even with a hidden entry.
    write("@0/gone.desktop", app("Gone", "Hidden=true\n"));
    write("@1/gone.desktop", app("Gone"));
    write("@0/notes-user.desktop", app("Notes"));
    write("@2/notes-flatpak.desktop", app("Notes"));
    write("@1/kde/dolphin.desktop", app("dolphin"));
    write("@1/kde/deeper/deep.desktop", app("Deep"));
    // A FIFO named like an entry would block the scan.
    ASSERT_EQ(::mkfifo(QFile::encodeName(at("@0/fifo.desktop")), 0600), 0);

    qputenv("LC_ALL", "de_DE.UTF-8");
    const auto apps = make().listApps().apps;
    qunsetenv("LC_ALL");
    const auto entry = [&](const char* name, const char* id, const char* file) {
        return AppEntry{QLatin1String(name), QLatin1String(id), at(file)};
    };
    // Sorted without regard to case; equal names keep the scan order.
    EXPECT_EQ(apps, (QList<AppEntry>{entry("dolphin", "kde-dolphin", "@1/kde/dolphin.desktop"),
                                     entry("Lokal", "local", "@0/local.desktop"),
                                     entry("Notes", "notes-user", "@0/notes-user.desktop"),
                                     entry("Notes", "notes-flatpak", "@2/notes-flatpak.desktop"),
                                     entry("Plain", "plain", "@0/plain.desktop")}));
}

TEST_F(Catalog, ReusesTheListForLessThanThreeHundredSeconds) {
    write("@0/first.desktop", app("First"));
    AppCatalog catalog = make();
    const auto stampAfter = [&](qint64 milliseconds) {
        m_now = m_now.addMSecs(milliseconds);
        return catalog.listApps().generatedAt;
    };
    EXPECT_EQ(stampAfter(0), u"2026-12-05T11:20:00.000Z"_s);
    EXPECT_EQ(stampAfter(AppCatalog::kCacheMilliseconds - 1), u"2026-12-05T11:20:00.000Z"_s);
    EXPECT_EQ(stampAfter(1), u"2026-12-05T11:25:00.000Z"_s);
    // Clock set back: a list "from the future" is not trusted.
    EXPECT_EQ(stampAfter(-60'000), u"2026-12-05T11:24:00.000Z"_s);
}

TEST_F(Catalog, ConcurrentCallersBuildTheListOnceAndItStopsAtFourHundredEntries) {
    for (int i = 0; i < 450; ++i)
        write(qPrintable((i % 3 ? u"@0/a%1.desktop"_s : u"@0/sub/a%1.desktop"_s).arg(i)), app("A"));
    // Every call reads the clock once; a second build would carry a later time.
    std::atomic<int> ticks{0};
    AppCatalog catalog(m_roots, [&] { return m_now.addMSecs(ticks++); });
    std::vector<AppList> lists(8);
    std::vector<std::thread> threads;
    for (auto& list : lists)
        threads.emplace_back([&catalog, &list] { list = catalog.listApps(); });
    for (auto& thread : threads)
        thread.join();
    for (const AppList& list : lists) {
        EXPECT_EQ(list.generatedAt, u"2026-12-05T11:20:00.000Z"_s);
        EXPECT_EQ(list.apps.size(), AppCatalog::kMaxEntries);
    }
}

TEST_F(Catalog, ResolvesByThePathBundleIdOrNameThatComesFirst) {
    write("@0/org.calc.desktop", app("Basic Calculator"));
    write("@1/org.calc.desktop", app("Calculator"));
    write("@1/vendor/b.desktop", app("B"));
    write("@0/calc-lite.desktop", app("Calc"));
    write("@0/deep/er/tool.desktop", app("Tool"));
    write("@0X/tool.desktop", app("Tool"));
    ASSERT_TRUE(writeTestFile(m_env.path() + u"/Downloads/org.calc.desktop"_s, app("Calculator")));

    const struct {
        const char* name;
        std::optional<const char*> path, bundleId, appName, expected;
    } cases[] = {
        {"PathWithDotDot", "@0/../applications/./org.calc.desktop", {}, {}, "@0/org.calc.desktop"},
        {"PathWithTilde", "~/data/applications/org.calc.desktop", {}, {}, "@0/org.calc.desktop"},
        {"OutsideRootsIgnoresBundleId", "~/Downloads/org.calc.desktop", "org.calc", {}, {}},
        {"DotDotOutOfRoot", "@0/../../Downloads/org.calc.desktop", {}, {}, {}},
        {"RootNameWithoutSeparator", "@0X/tool.desktop", {}, {}, {}},
        {"MissingPath", "@0/gone.desktop", {}, {}, {}},
        {"EmptyPathFallsThrough", "", "ORG.Calc", {}, "@0/org.calc.desktop"},
        {"BundleIdWinsOverName", {}, "nothing", "Calculator", {}},
        {"ExactNameBeforeSubstring", {}, {}, "calc", "@0/calc-lite.desktop"},
        {"NothingGiven", {}, {}, {}, {}},
    };
    const auto text = [&](std::optional<const char*> value) {
        return value ? std::optional(at(*value)) : std::nullopt;
    };
    AppCatalog catalog = make();
    for (const auto& c : cases)
        EXPECT_EQ(catalog.resolveAppPath(text(c.path), text(c.bundleId), text(c.appName)),
                  text(c.expected))
            << c.name;

    // Unlike the resolved path, the raw one is checked as given.
    for (const auto& [path, allowed] : {std::pair{"@0/deep/er/tool.desktop", true},
                                        {"@0/deep/er/tool.desktop/", false},
                                        {"applications/tool.desktop", false},
                                        {"/../..@0/org.calc.desktop", true}})
        EXPECT_EQ(catalog.isAllowedAppPath(at(path)), allowed) << path;

    // The opener finds a desktop id in the same folders, in the same order.
    for (const auto& [id, file] : {std::pair{"org.calc.desktop", "@0/org.calc.desktop"},
                                   {"vendor-b.desktop", "@1/vendor/b.desktop"},
                                   {"../../Downloads/org.calc.desktop", ""}})
        EXPECT_EQ(QString::fromStdString(xdg::findDesktopFile(id).value_or("")), at(file)) << id;
}

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

TEST(DesktopEntry, ReadsLocalisedNamesGroupsEscapesListsBooleansAndSplitsExec) {
    const auto entry = DesktopEntry::parse(kEntry);
    for (const auto& [locale, expected] : {std::pair{"de_AT.UTF-8", "Texteditor (AT)"},
                                           {"sr_RS@latin", "Uređivač"},
                                           {"fr_FR", "Text Editor"}})
        EXPECT_EQ(entry.localeString("Name", locale), expected) << locale;
    EXPECT_EQ(entry.string("Type"), "Application");
    EXPECT_EQ(entry.string("Comment"), "Two lines\nand a tab\t, back\\slash, odd \\q");
    EXPECT_EQ(entry.list("Keywords"), (std::vector<std::string>{"a", "b;c", "d x"}));
    EXPECT_TRUE(entry.boolean("NoDisplay"));
    EXPECT_FALSE(entry.boolean("Hidden")) << "only the exact value true is true";
    EXPECT_EQ(entry.string("Name", "Desktop Action new"), "New Window");
    EXPECT_FALSE(entry.raw("malformed line"));
    EXPECT_FALSE(DesktopEntry::parse("\x01\xff[\n=\n[x\nk=v").hasGroup("Desktop Entry"));

    using Args = std::vector<std::string>;
    const std::string url = "https://x.test/?a=1&b";
    // clang-format off
    // exec: with the string escapes already applied.
    const struct { const char* name; std::string exec; std::optional<Args> expected; std::optional<std::string> target = std::nullopt; } cases[] = {
        {"FieldCodesVanish", "app %U --x %f", Args{"app", "--x"}},
        {"Quoted", R"(sh -c "echo \"$HOME\" \\ \`x\`" "")", Args{"sh", "-c", "echo \"$HOME\" \\ `x`", ""}},
        {"PercentLiteral", "app 100%%", Args{"app", "100%"}},
        {"IconNameAndPath", "app %i %c %k", Args{"app", "--icon", "editor-icon", "Editor", "/apps/editor.desktop"}},
        {"UnterminatedQuote", "app \"open", std::nullopt},
        {"UnknownFieldCode", "app %z", std::nullopt},
        {"Empty", "   ", std::nullopt},
        {"TargetTakenOnce", "viewer %F --also %U", Args{"viewer", url, "--also"}, url},
        {"TargetAppended", "plain", Args{"plain", url}, url},
        {"FromAFileUnescapedTwice", entry.string("Exec").value(), Args{"sh", "-c", "echo \"$HOME\" 100%"}},
    };
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(splitExec(c.exec, {"editor-icon", "Editor", "/apps/editor.desktop", c.target}),
                  c.expected)
            << c.name;
}

} // namespace
