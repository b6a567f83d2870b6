#include "AppIcon.h"

#include "AppRoutes.h"
#include "IconTheme.h"
#include "TempEnvironment.h"

#include <QDir>
#include <QFile>
#include <QPainter>
#include <functional>
#include <gtest/gtest.h>

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    ASSERT_TRUE(writeTestFile(path, bytes)) << path.toStdString();
}

// A `width` x `height` picture: an opaque rectangle, or a disc with transparent corners.
void writeImage(const QString& path, int width, int height, bool disc = false) {
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(200, 40, 40));
    if (disc)
        painter.drawEllipse(QRectF(0, 0, width, height));
    else
        painter.drawRect(QRect(0, 0, width, height));
    painter.end();
    QDir().mkpath(path.left(path.lastIndexOf(QLatin1Char('/'))));
    ASSERT_TRUE(image.save(path)) << path.toStdString();
}

const QByteArray kSvgDisc = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 10 10">
<circle cx="5" cy="5" r="5" fill="#2060c0"/></svg>)";

// A well-formed PNG header (with its CRC) announcing 50000 x 50000 pixels, far too many to decode.
const QByteArray kHugePngHeader =
    QByteArray::fromHex("89504e470d0a1a0a0000000d494844520000c3500000c35008060000004baf3dca");

int alphaAt(const QImage& image, int x, int y) {
    return qAlpha(image.pixel(x, y));
}

// A private home with a user theme "Test" (inheriting "Parent"), hicolor and a pixmaps folder.
class Icons : public testing::Test {
protected:
    void SetUp() override {
        m_desktop = qgetenv("XDG_CURRENT_DESKTOP");
        qunsetenv("XDG_CURRENT_DESKTOP");
        writeFile(m_env.configHome() + QStringLiteral("/gtk-3.0/settings.ini"),
                  "[Settings]\ngtk-icon-theme-name=Test\n");
        writeFile(dirs() + QStringLiteral("/icons/Test/index.theme"),
                  "[Icon Theme]\nName=Test\nInherits=Parent\n"
                  "Directories=48x48/apps,256x256/apps,scalable/apps\n"
                  "[48x48/apps]\nSize=48\nType=Fixed\n[256x256/apps]\nSize=256\nType=Fixed\n"
                  "[scalable/apps]\nSize=64\nMinSize=16\nMaxSize=512\nType=Scalable\n");
        writeFile(m_env.dataHome() + QStringLiteral("/icons/Parent/index.theme"),
                  "[Icon Theme]\nName=Parent\nDirectories=32x32/apps\n[32x32/apps]\nSize=32\n");
        writeFile(dirs() + QStringLiteral("/icons/hicolor/index.theme"),
                  "[Icon Theme]\nName=Hicolor\nDirectories=128x128/apps\n"
                  "[128x128/apps]\nSize=128\nType=Threshold\n");
    }
    void TearDown() override {
        if (m_desktop.isEmpty())
            qunsetenv("XDG_CURRENT_DESKTOP");
        else
            qputenv("XDG_CURRENT_DESKTOP", m_desktop);
    }

    QString dirs() const { return m_env.path() + QStringLiteral("/data-dirs"); }
    QString icon(const char* relative) const {
        return dirs() + QStringLiteral("/icons/") + QLatin1String(relative);
    }
    QString entry(const char* id, const QByteArray& iconLine) {
        const QString path = m_env.dataHome() + QStringLiteral("/applications/") +
                             QLatin1String(id) + QStringLiteral(".desktop");
        writeFile(path, "[Desktop Entry]\nType=Application\nName=Tool\nExec=true\n" + iconLine);
        return path;
    }

    TempEnvironment m_env;
    QByteArray m_desktop;
};

TEST_F(Icons, ChoosesTheThemeFromTheDesktopSettings) {
    EXPECT_EQ(IconTheme::currentThemeName(), QStringLiteral("Test"));

    writeFile(m_env.configHome() + QStringLiteral("/kdeglobals"), "[Icons]\nTheme=breeze-dark\n");
    qputenv("XDG_CURRENT_DESKTOP", "KDE");
    EXPECT_EQ(IconTheme::currentThemeName(), QStringLiteral("breeze-dark"));

    qunsetenv("XDG_CURRENT_DESKTOP");
    QFile::remove(m_env.configHome() + QStringLiteral("/gtk-3.0/settings.ini"));
    QFile::remove(m_env.configHome() + QStringLiteral("/kdeglobals"));
    EXPECT_EQ(IconTheme::currentThemeName(), QStringLiteral("hicolor"));
}

TEST_F(Icons, FindsTheFileNearestTheWantedSize) {
    writeImage(icon("Test/48x48/apps/both.png"), 48, 48);
    writeFile(icon("Test/scalable/apps/both.svg"), kSvgDisc);
    writeImage(icon("Test/48x48/apps/near.png"), 48, 48);
    writeImage(icon("Test/256x256/apps/near.png"), 256, 256);
    writeImage(icon("hicolor/128x128/apps/near.png"), 128, 128);
    writeImage(m_env.dataHome() + QStringLiteral("/icons/Parent/32x32/apps/inherited.png"), 32, 32);
    writeImage(icon("hicolor/128x128/apps/hicolor-only.png"), 128, 128);
    writeImage(dirs() + QStringLiteral("/pixmaps/legacy.xpm"), 16, 16);
    const QString absolute = m_env.path() + QStringLiteral("/elsewhere/tool.png");
    writeImage(absolute, 16, 16);

    const struct {
        const char* name;
        QString iconName;
        std::optional<QString> expected;
    } cases[] = {
        {"ExactFitBeatsAnotherSize", QStringLiteral("both"), icon("Test/scalable/apps/both.svg")},
        {"ClosestSizeInTheFirstThemeThatHasOne", QStringLiteral("near"),
         icon("Test/48x48/apps/near.png")},
        {"InheritedTheme", QStringLiteral("inherited"),
         m_env.dataHome() + QStringLiteral("/icons/Parent/32x32/apps/inherited.png")},
        {"Hicolor", QStringLiteral("hicolor-only"), icon("hicolor/128x128/apps/hicolor-only.png")},
        {"PixmapsFallback", QStringLiteral("legacy"),
         dirs() + QStringLiteral("/pixmaps/legacy.xpm")},
        {"NameWithExtension", QStringLiteral("legacy.xpm"),
         dirs() + QStringLiteral("/pixmaps/legacy.xpm")},
        {"AbsolutePath", absolute, absolute},
        {"MissingAbsolutePath", absolute + QStringLiteral(".gone"), std::nullopt},
        {"Unknown", QStringLiteral("nothing-like-it"), std::nullopt},
        {"RelativePathIsNoName", QStringLiteral("../hicolor/128x128/apps/near"), std::nullopt},
    };
    const IconTheme theme(IconTheme::currentThemeName());
    for (const auto& c : cases)
        EXPECT_EQ(theme.findIcon(c.iconName, appicon::kIconSize), c.expected) << c.name;
}

TEST_F(Icons, DrawsEveryFormatCentredInATransparentSquare) {
    const struct {
        const char* name;
        std::function<void(const QString&)> write;
        const char* file;
        int opaqueTop; // first opaque row in the middle column
    } cases[] = {
        {"SmallDiscPng", [](const QString& f) { writeImage(f, 24, 24, true); }, "disc.png", 0},
        {"WidePng", [](const QString& f) { writeImage(f, 64, 32); }, "wide.png", 32},
        {"TallXpm", [](const QString& f) { writeImage(f, 8, 16); }, "tall.xpm", 0},
        {"Svg", [](const QString& f) { writeFile(f, kSvgDisc); }, "disc.svg", 0},
        {"SvgWithoutSuffix", [](const QString& f) { writeFile(f, kSvgDisc); }, "disc", 0},
    };
    for (const auto& c : cases) {
        const QString file = m_env.path() + QStringLiteral("/art/") + QLatin1String(c.file);
        c.write(file);
        const QImage image = appicon::renderIconFile(file);
        ASSERT_EQ(image.size(), QSize(128, 128)) << c.name;
        EXPECT_EQ(alphaAt(image, 0, 0) + alphaAt(image, 127, 127), 0) << c.name;
        EXPECT_EQ(alphaAt(image, 64, 64), 255) << c.name;
        EXPECT_EQ(alphaAt(image, 64, c.opaqueTop + 12), 255) << c.name;
        if (c.opaqueTop > 1) {
            EXPECT_EQ(alphaAt(image, 64, c.opaqueTop - 2), 0) << c.name;
        }
    }
}

TEST_F(Icons, RefusesFilesThatAreNotUsableIcons) {
    writeImage(m_env.path() + QStringLiteral("/good.png"), 64, 64);
    QFile good(m_env.path() + QStringLiteral("/good.png"));
    ASSERT_TRUE(good.open(QIODevice::ReadOnly));
    const QByteArray png = good.readAll();
    const struct {
        const char* name;
        const char* file;
        QByteArray bytes;
    } cases[] = {
        {"TruncatedPng", "truncated.png", png.left(png.size() / 2)},
        {"Garbage", "garbage.png", QByteArray(300, '\x07')},
        {"HugeDimensions", "huge.png", kHugePngHeader},
        {"HugeFile", "big.png", png + QByteArray(9 * 1024 * 1024, '\0')},
        {"BrokenSvg", "broken.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\"><circle"},
        {"SvgDrawingNothing", "empty.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\"/>"},
        {"Empty", "empty.xpm", ""},
        // Pins: an SVG icon with text made Qt abort the agent when it ran without a
        // QGuiApplication.
        {"SvgWithTextWithoutAGuiApplication", "text.svg",
         R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 10 10">
<rect width="10" height="10"/><text x="1" y="8">X</text></svg>)"},
    };
    for (const auto& c : cases) {
        const QString file = m_env.path() + QLatin1Char('/') + QLatin1String(c.file);
        writeFile(file, c.bytes);
        EXPECT_TRUE(appicon::renderIconFile(file).isNull()) << c.name;
    }
}

TEST_F(Icons, FallsBackToTheGenericApplicationIcon) {
    writeFile(icon("Test/scalable/apps/broken.svg"), "<svg");
    const QImage drawn = appicon::renderAppIcon(entry("none", ""));
    ASSERT_EQ(drawn.size(), QSize(128, 128));
    EXPECT_EQ(alphaAt(drawn, 64, 64), 255);
    EXPECT_EQ(appicon::renderAppIcon(entry("broken", "Icon=broken\n")), drawn);
    EXPECT_EQ(appicon::renderAppIcon(m_env.path() + QStringLiteral("/no-such.desktop")), drawn);

    // The theme's own generic icon, once it has one.
    writeImage(icon("hicolor/128x128/apps/application-x-executable.png"), 128, 128, true);
    EXPECT_EQ(appicon::renderAppIcon(entry("broken", "Icon=broken\n")),
              appicon::renderIconFile(icon("hicolor/128x128/apps/application-x-executable.png")));
}

TEST(AppIconName, IsTheLastComponentWithoutItsExtension) {
    for (const auto& [path, name] : {std::pair{"/a/org.gnome.Maps.desktop", "org.gnome.Maps"},
                                     {"/a/Tool", "Tool"},
                                     {"/a/.desktop", ".desktop"}})
        EXPECT_EQ(approutes::nameFromPath(QLatin1String(path)), QLatin1String(name));
}

} // namespace
