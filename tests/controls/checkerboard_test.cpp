// The level shown over a checkerboard, judged pixel by pixel against what the
// eye should see: two greys in 8-pixel squares where it is clear, its own
// colours where it is opaque.
#include "checkerboard.h"

#include "qtprint.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

namespace corvane {
namespace {

constexpr QRgb kLight = 0xffcccccc, kDark = 0xff999999;

// Left half clear (with a colour that must not show), right half opaque.
QImage halfClear() {
    QImage level(6, 4, QImage::Format_ARGB32);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x)
            level.setPixel(x, y, x < 3 ? qRgba(200, 10, 30, 0) : qRgba(40 * x, 50 * y, 100, 255));
    return level;
}

TEST(Checkerboard, ClearPartsShowTwoGreysInScreenSquaresAndOpaquePartsThemselves) {
    const QImage level = halfClear();
    const int scale = 5;  // device pixels a texel
    const QImage shown = composeLevel(level, scale, 1.5, true);
    ASSERT_EQ(shown.size(), QSize(30, 20));
    EXPECT_EQ(shown.devicePixelRatio(), 1.5);

    std::set<QRgb> greys;
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x) {
            const QRgb got = shown.pixel(x, y);
            if (x < 3 * scale) {
                greys.insert(got);
                // Squares of 8 device pixels, whatever the texel size; light first.
                const bool dark = ((x / 8) + (y / 8)) % 2 == 1;
                ASSERT_EQ(got, dark ? kDark : kLight) << x << ',' << y;
            } else {
                ASSERT_EQ(got, level.pixel(x / scale, y / scale) | 0xff000000u) << x << ',' << y;
            }
        }
    EXPECT_EQ(greys.size(), 2u);

    // A part of the picture is that part of the whole, pattern included.
    const QRect part(13, 9, 10, 6);
    EXPECT_EQ(composeLevel(level, scale, 1.5, true, part), shown.copy(part));

    // Switched off: the colours alone, the clear ones too.
    const QImage plain = composeLevel(level, scale, 1, false);
    EXPECT_EQ(plain.pixel(0, 0), qRgb(200, 10, 30));
    EXPECT_EQ(plain.pixel(29, 19), level.pixel(5, 3) | 0xff000000u);
}

TEST(Checkerboard, PartlyClearTexelsBlendWithTheGreyBehind) {
    QImage level(1, 1, QImage::Format_ARGB32);
    level.setPixel(0, 0, qRgba(255, 0, 60, 128));
    const QImage shown = composeLevel(level, 16, 1, true);
    const auto blend = [](double c, double under) { return c * 128 / 255 + under * 127 / 255; };
    const QRgb light = shown.pixel(0, 0), dark = shown.pixel(8, 0);
    EXPECT_NEAR(qRed(light), blend(255, 0xcc), 1);
    EXPECT_NEAR(qGreen(light), blend(0, 0xcc), 1);
    EXPECT_NEAR(qBlue(light), blend(60, 0xcc), 1);
    EXPECT_NEAR(qRed(dark), blend(255, 0x99), 1);
    EXPECT_NEAR(qBlue(dark), blend(60, 0x99), 1);
}

}  // namespace
}  // namespace corvane
