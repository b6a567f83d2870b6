#include "AppIcon.h"

#include "DesktopEntry.h"
#include "IconTheme.h"

#include <QBuffer>
#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>
#include <QString>
#include <QSvgRenderer>

namespace appicon {
namespace {

// Icon files are small; anything bigger is not an icon and is not worth the memory.
constexpr qint64 kMaxFileBytes = 8 * 1024 * 1024;
constexpr qint64 kMaxPixels = 4096 * 4096;
const char kGenericIcon[] = "application-x-executable";

QImage transparentSquare() {
    QImage image(kIconSize, kIconSize, QImage::Format_ARGB32_Premultiplied);
    if (!image.isNull())
        image.fill(Qt::transparent);
    return image;
}

// The largest rectangle of `size`'s aspect that fits the square, centred in it.
QRectF fittedRect(QSizeF size) {
    if (size.isEmpty())
        size = QSizeF(kIconSize, kIconSize);
    size.scale(kIconSize, kIconSize, Qt::KeepAspectRatio);
    return QRectF((kIconSize - size.width()) / 2, (kIconSize - size.height()) / 2, size.width(),
                  size.height());
}

bool isFullyTransparent(const QImage& image) {
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(line[x]) != 0)
                return false;
    }
    return true;
}

bool looksLikeSvg(const QString& file) {
    const QString suffix = QFileInfo(file).suffix().toLower();
    if (suffix == QLatin1String("svg") || suffix == QLatin1String("svgz"))
        return true;
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = in.peek(256).trimmed();
    return head.startsWith("<?xml") || head.startsWith("<svg");
}

// Text needs the font database, which exists only beside a QGuiApplication: without one Qt
// aborts the process. With one, Qt 6 renders text on any thread.
bool canDrawText() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app && app->inherits("QGuiApplication");
}

bool drawSvg(const QString& file, QImage& canvas) {
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QByteArray svg = in.readAll();
    // Compressed SVG hides its elements; without fonts it is refused rather than risked.
    const bool mayHoldText = svg.contains("<text") || svg.startsWith("\x1f\x8b");
    if (mayHoldText && !canDrawText())
        return false;
    QSvgRenderer renderer(svg);
    if (!renderer.isValid())
        return false;
    QPainter painter(&canvas);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = renderer.viewBoxF();
    renderer.render(&painter,
                    fittedRect(box.isEmpty() ? QSizeF(renderer.defaultSize()) : box.size()));
    return true;
}

bool drawRaster(const QString& file, QImage& canvas) {
    QImageReader reader(file);
    reader.setDecideFormatFromContent(true);
    const QSize size = reader.size();
    if (!size.isValid() || qint64(size.width()) * size.height() > kMaxPixels)
        return false;
    // Readers that can decode at a smaller size (JPEG) then spare the memory of the full one.
    if (size.width() > 4 * kIconSize || size.height() > 4 * kIconSize)
        reader.setScaledSize(size.scaled(4 * kIconSize, 4 * kIconSize, Qt::KeepAspectRatio));
    const QImage image = reader.read();
    if (image.isNull())
        return false;
    const QRectF target = fittedRect(image.size());
    QPainter painter(&canvas);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, image.scaled(target.size().toSize(), Qt::IgnoreAspectRatio,
                                           Qt::SmoothTransformation));
    return true;
}

// The last resort: a rounded tile with a window on it, in neutral greys.
QImage drawnGenericIcon() {
    QImage image = transparentSquare();
    if (image.isNull())
        return image;
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x5f, 0x67, 0x70));
    painter.drawRoundedRect(QRectF(12, 12, 104, 104), 18, 18);
    painter.setBrush(QColor(0xf2, 0xf3, 0xf5));
    painter.drawRoundedRect(QRectF(30, 38, 68, 52), 6, 6);
    painter.setBrush(QColor(0x9a, 0xa3, 0xad));
    painter.drawRect(QRectF(30, 38, 68, 10));
    return image;
}

QImage genericIcon(const IconTheme& theme) {
    if (const auto file = theme.findIcon(QLatin1String(kGenericIcon), kIconSize))
        if (QImage image = renderIconFile(*file); !image.isNull())
            return image;
    return drawnGenericIcon();
}

} // namespace

QImage renderIconFile(const QString& file) {
    const QFileInfo info(file);
    if (!info.isFile() || info.size() > kMaxFileBytes)
        return {};
    QImage canvas = transparentSquare();
    if (canvas.isNull())
        return {};
    const bool drawn = looksLikeSvg(file) ? drawSvg(file, canvas) : drawRaster(file, canvas);
    if (!drawn || isFullyTransparent(canvas))
        return {};
    return canvas;
}

QImage renderAppIcon(const QString& desktopFile) {
    const IconTheme theme(IconTheme::currentThemeName());
    if (const auto entry = DesktopEntry::load(QFile::encodeName(desktopFile).toStdString()))
        if (const auto name = entry->string("Icon"); name && !name->empty())
            if (const auto file = theme.findIcon(QString::fromStdString(*name), kIconSize))
                if (QImage image = renderIconFile(*file); !image.isNull())
                    return image;
    return genericIcon(theme);
}

QByteArray encodePng(const QImage& image) {
    QByteArray png;
    QBuffer buffer(&png);
    if (image.isNull() || !buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG"))
        return {};
    return png;
}

QString pngDataUrl(const QByteArray& png) {
    return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64());
}

} // namespace appicon
