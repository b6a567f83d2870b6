#include "AppCatalog.h"

#include "TempEnvironment.h"

#include <QDir>
#include <QFile>
#include <atomic>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    ASSERT_TRUE(writeTestFile(path, bytes)) << path.toStdString();
}

QByteArray app(const char* name, const char* extra = "") {
    return QByteArray("[Desktop Entry]\nType=Application\nExec=true\nName=") + name + "\n" + extra;
}

QStringList names(const AppList& list) {
    QStringList result;
    for (const AppEntry& entry : list.apps)
        result.append(entry.name);
    return result;
}

// Three roots in a private home: the user's, a data dir's, a third like the flatpak exports.
class Catalog : public testing::Test {
protected:
    QString root(int index) const { return m_roots.at(index); }
    AppCatalog make() {
        return AppCatalog(m_roots, [this] { return m_now; });
    }

    TempEnvironment m_env;
    QStringList m_roots{m_env.dataHome() + QStringLiteral("/applications"),
                        m_env.path() + QStringLiteral("/data-dirs/applications"),
                        m_env.path() + QStringLiteral("/flatpak/applications")};
    QDateTime m_now = QDateTime(QDate(2026, 12, 5), QTime(11, 20), Qt::UTC);
};

struct ListingCase {
    const char* name;
    const char* file; // below the first root
    QByteArray text;
    const char* listedAs; // nullptr: not listed
};

TEST_F(Catalog, ListsOnlyShownApplicationEntries) {
    const ListingCase cases[] = {
        {"Plain", "plain.desktop", app("Plain"), "Plain"},
        {"Link", "link.desktop", "[Desktop Entry]\nType=Link\nName=Link\n", nullptr},
        {"NoDisplay", "nodisplay.desktop", app("NoDisplay", "NoDisplay=true\n"), nullptr},
        {"Hidden", "hidden.desktop", app("Hidden", "Hidden=true\n"), nullptr},
        {"NoName", "noname.desktop", "[Desktop Entry]\nType=Application\n", nullptr},
        {"Binary", "binary.desktop", QByteArray("\x89PNG\r\n\x1a\n\0\0\xff\xfe", 12), nullptr},
        {"UpperCaseExtension", "upper.DESKTOP", app("Upper"), nullptr},
        {"Localised", "local.desktop", app("Local", "Name[de]=Lokal\n"), "Lokal"},
        {"OtherGroupOnly", "action.desktop", "[Desktop Action x]\nType=Application\nName=A\n",
         nullptr},
    };
    for (const auto& c : cases)
        writeFile(root(0) + QLatin1Char('/') + QLatin1String(c.file), c.text);
    // Neither a folder nor a FIFO named like an entry is read (a FIFO would block the scan).
    QDir().mkpath(root(0) + QStringLiteral("/folder.desktop"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(root(0) + QStringLiteral("/fifo.desktop")), 0600), 0);
    QFile::link(root(0) + QStringLiteral("/missing"),
                root(0) + QStringLiteral("/dangling.desktop"));

    qputenv("LC_ALL", "de_DE.UTF-8");
    const QStringList listed = names(make().listApps());
    qunsetenv("LC_ALL");
    for (const auto& c : cases)
        EXPECT_EQ(listed.contains(QLatin1String(c.listedAs ? c.listedAs : "\x01")),
                  c.listedAs != nullptr)
            << c.name;
    EXPECT_EQ(listed.size(), 2) << listed.join(QLatin1Char(',')).toStdString();
}

TEST_F(Catalog, EarlierRootOwnsAnIdSubfoldersPrefixItAndNamesSortIgnoringCase) {
    writeFile(root(0) + QStringLiteral("/gone.desktop"), app("Gone", "Hidden=true\n"));
    writeFile(root(1) + QStringLiteral("/gone.desktop"), app("Gone"));
    writeFile(root(0) + QStringLiteral("/org.example.Edit.desktop"), app("edit"));
    writeFile(root(1) + QStringLiteral("/org.example.Edit.desktop"), app("Edit (system)"));
    writeFile(root(0) + QStringLiteral("/notes-user.desktop"), app("Notes"));
    writeFile(root(1) + QStringLiteral("/kde/dolphin.desktop"), app("Dolphin"));
    writeFile(root(2) + QStringLiteral("/notes-flatpak.desktop"), app("Notes"));

    const auto apps = make().listApps().apps;
    const auto entry = [&](const char* name, const char* id, int index, const char* file) {
        return AppEntry{QLatin1String(name), QLatin1String(id), root(index) + QLatin1String(file)};
    };
    // Equal names keep the scan order.
    EXPECT_EQ(apps,
              (QList<AppEntry>{entry("Dolphin", "kde-dolphin", 1, "/kde/dolphin.desktop"),
                               entry("edit", "org.example.Edit", 0, "/org.example.Edit.desktop"),
                               entry("Notes", "notes-user", 0, "/notes-user.desktop"),
                               entry("Notes", "notes-flatpak", 2, "/notes-flatpak.desktop")}));
}

TEST_F(Catalog, StopsAtFourHundredEntriesAndSkipsLaterRoots) {
    for (int i = 0; i < 300; ++i)
        writeFile(root(0) + QStringLiteral("/a%1.desktop").arg(i), app("A"));
    for (int i = 0; i < 150; ++i)
        writeFile(root(0) + QStringLiteral("/sub/b%1.desktop").arg(i), app("B"));
    writeFile(root(1) + QStringLiteral("/late.desktop"), app("Late"));

    const auto apps = make().listApps().apps;
    EXPECT_EQ(apps.size(), AppCatalog::kMaxEntries);
    EXPECT_FALSE(names({apps, {}}).contains(QStringLiteral("Late")));
}

TEST_F(Catalog, ScansARootAndItsDirectSubfoldersOnly) {
    writeFile(root(0) + QStringLiteral("/top.desktop"), app("Top"));
    writeFile(root(0) + QStringLiteral("/one/level.desktop"), app("Level"));
    writeFile(root(0) + QStringLiteral("/one/two/deep.desktop"), app("Deep"));
    // A link back to the root is just another subfolder: depth, not link tracking, ends the scan.
    QFile::link(root(0), root(0) + QStringLiteral("/loop"));

    const QStringList listed = names(make().listApps());
    EXPECT_TRUE(listed.contains(QStringLiteral("Level")));
    EXPECT_FALSE(listed.contains(QStringLiteral("Deep")));
    EXPECT_EQ(listed.count(QStringLiteral("Top")), 2); // as top and as loop-top
}

TEST_F(Catalog, ReusesTheListForLessThanThreeHundredSeconds) {
    writeFile(root(0) + QStringLiteral("/first.desktop"), app("First"));
    AppCatalog catalog = make();
    const AppList first = catalog.listApps();
    EXPECT_EQ(first.generatedAt, QStringLiteral("2026-12-05T11:20:00.000Z"));

    writeFile(root(0) + QStringLiteral("/second.desktop"), app("Second"));
    m_now = m_now.addMSecs(AppCatalog::kCacheMilliseconds - 1);
    const AppList cached = catalog.listApps();
    EXPECT_EQ(cached.generatedAt, first.generatedAt);
    EXPECT_EQ(cached.apps, first.apps);

    m_now = m_now.addMSecs(1);
    const AppList rebuilt = catalog.listApps();
    EXPECT_EQ(rebuilt.generatedAt, QStringLiteral("2026-12-05T11:25:00.000Z"));
    EXPECT_EQ(rebuilt.apps.size(), 2);

    // Clock set back: a list "from the future" is not trusted.
    m_now = m_now.addSecs(-60);
    EXPECT_EQ(catalog.listApps().generatedAt, QStringLiteral("2026-12-05T11:24:00.000Z"));
}

TEST_F(Catalog, ConcurrentCallersBuildTheListOnce) {
    for (int i = 0; i < 50; ++i)
        writeFile(root(0) + QStringLiteral("/app%1.desktop").arg(i), app("App"));
    // Every call reads the clock once; a second build would carry a later time.
    std::atomic<int> ticks{0};
    AppCatalog catalog(m_roots, [&] { return m_now.addMSecs(ticks++); });
    std::vector<QString> stamps(8);
    std::vector<std::thread> threads;
    for (auto& stamp : stamps)
        threads.emplace_back([&catalog, &stamp] { stamp = catalog.listApps().generatedAt; });
    for (auto& thread : threads)
        thread.join();
    for (const QString& stamp : stamps)
        EXPECT_EQ(stamp, QStringLiteral("2026-12-05T11:20:00.000Z"));
}

struct ResolveCase {
    const char* name;
    std::optional<const char*> path; // "@0" stands for the first root, "~" for the home folder
    std::optional<const char*> bundleId;
    std::optional<const char*> appName;
    std::optional<const char*> expected;
};

TEST_F(Catalog, ResolvesByThePathBundleIdOrNameThatComesFirst) {
    writeFile(root(0) + QStringLiteral("/org.calc.desktop"), app("Calculator"));
    writeFile(root(0) + QStringLiteral("/calc-lite.desktop"), app("Calc"));
    writeFile(root(1) + QStringLiteral("/ed.desktop"), app("Editor"));
    writeFile(m_env.path() + QStringLiteral("/Downloads/org.calc.desktop"), app("Calculator"));

    const ResolveCase cases[] = {
        {"PathWithDotDot", "@0/../applications/./org.calc.desktop", {}, {}, "@0/org.calc.desktop"},
        {"PathWithTilde", "~/data/applications/org.calc.desktop", {}, {}, "@0/org.calc.desktop"},
        {"TrailingSeparator", "@0/org.calc.desktop/", {}, {}, "@0/org.calc.desktop"},
        {"OutsideRootsIgnoresBundleId", "~/Downloads/org.calc.desktop", "org.calc", {}, {}},
        {"DotDotOutOfRoot", "@0/../../Downloads/org.calc.desktop", {}, {}, {}},
        {"EmptyPathFallsThrough", "", "ORG.Calc", {}, "@0/org.calc.desktop"},
        {"BundleIdIsNotTrimmed", {}, " org.calc", {}, {}},
        {"BundleIdWinsOverName", {}, "nothing", "Calculator", {}},
        {"ExactNameBeforeSubstring", {}, {}, "calc", "@0/calc-lite.desktop"},
        {"SubstringAfterTrimming", {}, {}, " \tculat\t ", "@0/org.calc.desktop"},
        {"NameInLaterRoot", {}, {}, "EDITOR", "@1/ed.desktop"},
        {"NothingGiven", {}, {}, {}, {}},
    };
    const auto expand = [&](const char* text) {
        QString value = QString::fromUtf8(text);
        value.replace(QStringLiteral("@0"), root(0)).replace(QStringLiteral("@1"), root(1));
        return value;
    };
    const auto optionalText = [&](std::optional<const char*> text) -> std::optional<QString> {
        return text ? std::optional(expand(*text)) : std::nullopt;
    };
    AppCatalog catalog = make();
    for (const auto& c : cases)
        EXPECT_EQ(catalog.resolveAppPath(optionalText(c.path), optionalText(c.bundleId),
                                         optionalText(c.appName)),
                  optionalText(c.expected))
            << c.name;
}

TEST_F(Catalog, AllowsOnlyExistingEntriesBelowARoot) {
    writeFile(root(0) + QStringLiteral("/tool.desktop"), app("Tool"));
    writeFile(root(0) + QStringLiteral("/deep/er/tool.desktop"), app("Tool"));
    writeFile(root(0) + QStringLiteral("X/tool.desktop"), app("Tool"));
    const struct {
        const char* name;
        QString path;
        bool allowed;
    } cases[] = {
        {"Direct", root(0) + QStringLiteral("/tool.desktop"), true},
        {"AnyDepth", root(0) + QStringLiteral("/deep/er/tool.desktop"), true},
        {"TrailingSeparatorFailsTheExtension", root(0) + QStringLiteral("/tool.desktop/"), false},
        {"RootNameWithoutSeparator", root(0) + QStringLiteral("X/tool.desktop"), false},
        {"Missing", root(0) + QStringLiteral("/gone.desktop"), false},
        {"Relative", QStringLiteral("applications/tool.desktop"), false},
        {"AboveTheTopOfTheTree",
         QStringLiteral("/../..") + root(0) + QStringLiteral("/tool.desktop"), true},
        {"Empty", QString(), false},
    };
    AppCatalog catalog = make();
    for (const auto& c : cases)
        EXPECT_EQ(catalog.isAllowedAppPath(c.path), c.allowed) << c.name;
}

} // namespace
