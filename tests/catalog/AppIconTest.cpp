#include "AppIcon.h"

#include "IconTheme.h"
#include "TempEnvironment.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

const auto writeFile = [](const QString& path, const QByteArray& bytes) {
    ASSERT_TRUE(writeTestFile(path, bytes)) << path.toStdString();
};

// A `width` x `height` opaque picture in the given format.
QByteArray picture(int width, int height, const char* format = "PNG") {
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(QColor(200, 40, 40));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

const QByteArray kSvgDisc = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 10 10">
<circle cx="5" cy="5" r="5" fill="#2060c0"/></svg>)";

const auto alphaAt = [](const QImage& image, int x, int y) { return qAlpha(image.pixel(x, y)); };

// A private home with a user theme "Test" (inheriting "Parent"), hicolor and a pixmaps folder.
class Icons : public testing::Test {
protected:
    void SetUp() override {
        qunsetenv("XDG_CURRENT_DESKTOP");
        writeFile(m_env.configHome() + u"/gtk-3.0/settings.ini"_s,
                  "[Settings]\ngtk-icon-theme-name=Test\n");
        writeFile(icon("Test/index.theme"),
                  "[Icon Theme]\nName=Test\nInherits=Parent\n"
                  "Directories=48x48/apps,96x96/apps,160x160/apps,256x256/apps,scalable/apps\n"
                  "[48x48/apps]\nSize=48\nType=Fixed\n[256x256/apps]\nSize=256\nType=Fixed\n"
                  "[96x96/apps]\nSize=96\nThreshold=16\n[160x160/apps]\nSize=160\nType=Fixed\n"
                  "[scalable/apps]\nSize=64\nMinSize=16\nMaxSize=512\nType=Scalable\n");
        writeFile(m_env.dataHome() + u"/icons/Parent/index.theme"_s,
                  "[Icon Theme]\nName=Parent\nDirectories=32x32/apps\n[32x32/apps]\nSize=32\n");
        writeFile(icon("hicolor/index.theme"), "[Icon Theme]\nName=Hicolor\nDirectories=128x128/"
                                               "apps\n[128x128/apps]\nSize=128\nType=Threshold\n");
    }

    QString icon(const char* relative) const {
        return m_env.path() + u"/data-dirs/icons/"_s + QLatin1String(relative);
    }

    TempEnvironment m_env;
};

TEST_F(Icons, FindsTheFileNearestTheWantedSizeInTheDesktopsTheme) {
    const QString parent = m_env.dataHome() + u"/icons/Parent/32x32/apps/inherited.png"_s;
    const QString pixmap = m_env.path() + u"/data-dirs/pixmaps/legacy.xpm"_s;
    const QString absolute = m_env.path() + u"/elsewhere/tool.png"_s;
    for (const QString& file :
         {icon("Test/48x48/apps/both.png"), icon("Test/48x48/apps/near.png"),
          icon("Test/256x256/apps/near.png"), icon("hicolor/128x128/apps/near.png"),
          icon("hicolor/128x128/apps/hicolor-only.png"), parent, pixmap, absolute,
          icon("Test/48x48/apps/small.png"), icon("Test/96x96/apps/small.png"),
          icon("Test/160x160/apps/small.png")})
        writeFile(file, picture(16, 16));
    writeFile(icon("Test/scalable/apps/both.svg"), kSvgDisc);

    const struct {
        const char* name;
        QString iconName;
        std::optional<QString> expected;
    } cases[] = {
        {"ExactFitBeatsAnotherSize", u"both"_s, icon("Test/scalable/apps/both.svg")},
        {"ClosestSizeInTheFirstThemeThatHasOne", u"near"_s, icon("Test/48x48/apps/near.png")},
        {"InheritedTheme", u"inherited"_s, parent},
        {"Hicolor", u"hicolor-only"_s, icon("hicolor/128x128/apps/hicolor-only.png")},
        {"PixmapsFallback", u"legacy"_s, pixmap},
        {"NameWithExtension", u"legacy.xpm"_s, pixmap},
        {"AbsolutePath", absolute, absolute},
        {"MissingAbsolutePath", absolute + u".gone"_s, std::nullopt},
        {"Unknown", u"nothing-like-it"_s, std::nullopt},
        {"RelativePathIsNoName", u"../hicolor/128x128/apps/near"_s, std::nullopt},
        // Pins: a too-small folder measured from its lower edge, or counted as a fit.
        {"TooSmallNearestByItsUpperEdge", u"small"_s, icon("Test/96x96/apps/small.png")},
    };
    const IconTheme theme(IconTheme::currentThemeName());
    for (const auto& c : cases)
        EXPECT_EQ(theme.findIcon(c.iconName, appicon::kIconSize), c.expected) << c.name;

    writeFile(m_env.configHome() + u"/kdeglobals"_s, "[Icons]\nTheme=breeze-dark\n");
    qputenv("XDG_CURRENT_DESKTOP", "KDE");
    EXPECT_EQ(IconTheme::currentThemeName(), u"breeze-dark"_s);

    qunsetenv("XDG_CURRENT_DESKTOP");
    QFile::remove(m_env.configHome() + u"/gtk-3.0/settings.ini"_s);
    QFile::remove(m_env.configHome() + u"/kdeglobals"_s);
    EXPECT_EQ(IconTheme::currentThemeName(), u"hicolor"_s);
}

TEST_F(Icons, DrawsUsableFilesCentredInATransparentSquare) {
    // clang-format off
    // opaqueTop: the first opaque row in the middle column; -1: refused.
    const struct { const char* name; const char* file; QByteArray bytes; int opaqueTop; } cases[] = {
        {"WidePng", "wide.png", picture(64, 32), 32},
        {"TallXpm", "tall.xpm", picture(8, 16, "XPM"), 0},
        {"SvgWithoutSuffix", "disc", kSvgDisc, 0},
        {"HugeFile", "big.png", picture(64, 64) + QByteArray(9 * 1024 * 1024, '\0'), -1},
        {"SvgDrawingNothing", "empty.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\"/>", -1},
        // Pins an SVG icon with text aborting an agent that runs without a QGuiApplication.
        {"SvgWithTextWithoutAGuiApplication", "text.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 10 10">
<rect width="10" height="10"/><text x="1" y="8">X</text></svg>)", -1},
    };
    // clang-format on
    for (const auto& c : cases) {
        const QString file = m_env.path() + u"/art/"_s + QLatin1String(c.file);
        writeFile(file, c.bytes);
        const QImage image = appicon::renderIconFile(file);
        EXPECT_EQ(image.isNull(), c.opaqueTop < 0) << c.name;
        if (image.isNull() || c.opaqueTop < 0)
            continue;
        ASSERT_EQ(image.size(), QSize(128, 128)) << c.name;
        EXPECT_EQ(alphaAt(image, 0, 0) + alphaAt(image, 127, 127), 0) << c.name;
        EXPECT_EQ(alphaAt(image, 64, 64) + alphaAt(image, 64, c.opaqueTop + 12), 510) << c.name;
        EXPECT_TRUE(c.opaqueTop < 2 || alphaAt(image, 64, c.opaqueTop - 2) == 0) << c.name;
    }
}

TEST_F(Icons, FallsBackToTheGenericApplicationIcon) {
    writeFile(icon("Test/scalable/apps/broken.svg"), "<svg");
    const QString broken = m_env.path() + u"/broken.desktop"_s;
    writeFile(broken, "[Desktop Entry]\nName=Tool\nIcon=broken\n");
    const QImage drawn = appicon::renderAppIcon(broken);
    ASSERT_EQ(drawn.size(), QSize(128, 128));
    EXPECT_EQ(alphaAt(drawn, 64, 64), 255);
    EXPECT_EQ(appicon::renderAppIcon(m_env.path() + u"/no-such.desktop"_s), drawn);

    // The theme's own generic icon, once it has one.
    const QString generic = icon("hicolor/128x128/apps/application-x-executable.png");
    writeFile(generic, picture(128, 128));
    EXPECT_EQ(appicon::renderAppIcon(broken), appicon::renderIconFile(generic));
}

} // namespace
