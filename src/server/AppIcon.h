#pragma once

#include <QImage>

class QByteArray;
class QString;

// The application icon export: the icon the desktop shows for an application, as a transparent
// 128 x 128 ARGB image. Only QImage, QPainter on a QImage and QSvgRenderer are used, so any
// thread may render (the loopback API renders on its background pool).
namespace appicon {

constexpr int kIconSize = 128;

// The icon of the desktop entry at `desktopFile`: its Icon key through the user's icon theme
// (an absolute Icon path used as is), else the theme's generic application icon, else a drawn
// one. The picture keeps its aspect ratio and is centred; the rest stays transparent. A null
// image only when the 128 x 128 image cannot be allocated.
QImage renderAppIcon(const QString& desktopFile);

// The image file at `file` (PNG, SVG, XPM or any format Qt reads) drawn into a transparent
// square; a null image when the file is missing, too large, broken or renders nothing.
QImage renderIconFile(const QString& file);

// PNG file bytes of `image`; empty when encoding fails.
QByteArray encodePng(const QImage& image);

// "data:image/png;base64," and the standard Base64 text of `png`.
QString pngDataUrl(const QByteArray& png);

} // namespace appicon
