// A level as the views show it: where it is not opaque, over a checkerboard,
// so that transparency shows as such and not as whatever colour hides behind it.
#pragma once

#include <QImage>
#include <QRect>

namespace corvane {

// The checkerboard: squares of 8x8 device pixels, light and mid grey, the
// light one at the picture's top-left corner.  Both greys sit far from black
// and white, where painted cut-outs usually are.
inline constexpr int kCheckerSquare = 8;
inline constexpr QRgb kCheckerLight = 0xffcccccc;
inline constexpr QRgb kCheckerDark = 0xff999999;

// `level` holds the level's own colours with its opacity as alpha (converted
// to ARGB32 when it is in another form).  Each texel becomes a square of
// `devicePixelsPerTexel` device pixels (at least 1).  `area` picks a part of
// the scaled picture, in device pixels (all of it when empty; clipped to the
// picture), so a large zoom never builds the whole picture.  With
// `checkerboard` off, the level's colours are shown as they are, alpha
// ignored.  The result is opaque (RGB32), carries `devicePixelRatio`, and is
// null for a null level.
QImage composeLevel(const QImage& level, int devicePixelsPerTexel, qreal devicePixelRatio, bool checkerboard,
                    const QRect& area = {});

}  // namespace corvane
