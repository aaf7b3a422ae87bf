#include "checkerboard.h"

#include <algorithm>

namespace corvane {

namespace {

int over(int colour, int alpha, int under) { return (colour * alpha + under * (255 - alpha) + 127) / 255; }

}  // namespace

QImage composeLevel(const QImage& level, int devicePixelsPerTexel, qreal devicePixelRatio, bool checkerboard,
                    const QRect& area) {
    if (level.isNull()) return {};
    const int scale = std::max(1, devicePixelsPerTexel);
    const QImage source =
        level.format() == QImage::Format_ARGB32 ? level : level.convertToFormat(QImage::Format_ARGB32);
    const QRect whole(0, 0, source.width() * scale, source.height() * scale);
    const QRect part = area.isEmpty() ? whole : area.intersected(whole);
    if (part.isEmpty()) return {};

    QImage result(part.size(), QImage::Format_RGB32);
    for (int y = part.top(); y <= part.bottom(); ++y) {
        const auto* texels = reinterpret_cast<const QRgb*>(source.constScanLine(y / scale));
        auto* out = reinterpret_cast<QRgb*>(result.scanLine(y - part.top()));
        const bool darkRow = (y / kCheckerSquare) % 2 != 0;
        for (int x = part.left(); x <= part.right(); ++x) {
            const QRgb texel = texels[x / scale];
            const int alpha = qAlpha(texel);
            if (!checkerboard || alpha == 255) {
                *out++ = texel | 0xff000000u;
                continue;
            }
            const QRgb under = ((x / kCheckerSquare) % 2 != 0) != darkRow ? kCheckerDark : kCheckerLight;
            *out++ = qRgb(over(qRed(texel), alpha, qRed(under)), over(qGreen(texel), alpha, qGreen(under)),
                          over(qBlue(texel), alpha, qBlue(under)));
        }
    }
    result.setDevicePixelRatio(devicePixelRatio);
    return result;
}

}  // namespace corvane
