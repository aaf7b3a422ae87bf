// Pixel work: resampling, quantizing, remapping, filters and adjustments.
#include "image.h"
#include "srgb.h"
#include "testbmp.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

using quor::Image;
using quor::Palette;
using quor::Progress;

namespace {

using Rgba = std::array<uint8_t, 4>;

Image picture(int32_t w, int32_t h, const std::function<Rgba(int, int)>& colour) {
    Image image;
    image.width = w;
    image.height = h;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Rgba c = colour(x, y);
            image.rgba.insert(image.rgba.end(), c.begin(), c.end());
            image.hasAlpha |= c[3] != 255;
        }
    return image;
}

Image flat(int32_t w, int32_t h, Rgba c) {
    return picture(w, h, [c](int, int) { return c; });
}

Rgba at(const Image& image, int x, int y) {
    const uint8_t* p = image.rgba.data() + (size_t(y) * size_t(image.width) + size_t(x)) * 4;
    return {p[0], p[1], p[2], p[3]};
}

int distance(const Rgba& a, const quor::PaletteEntry& e) {
    const int dr = a[0] - e.red, dg = a[1] - e.green, db = a[2] - e.blue;
    return dr * dr + dg * dg + db * db;
}

Palette randomPalette(std::mt19937& random) {
    Palette palette{};
    for (auto& e : palette) e = {uint8_t(random()), uint8_t(random()), uint8_t(random()), 0};
    return palette;
}

double meanChannel(const Image& image, int c) {
    double sum = 0;
    for (size_t i = size_t(c); i < image.rgba.size(); i += 4) sum += image.rgba[i];
    return sum / double(image.pixelCount());
}

// Mean of a channel in linear light, 0..1.
double meanLight(const Image& image, int c) {
    double sum = 0;
    for (size_t i = size_t(c); i < image.rgba.size(); i += 4) sum += quor::srgb::toLinear(image.rgba[i]);
    return sum / double(image.pixelCount());
}

// A photograph's worth of texture: smooth shading under fine noise.
Image noisyPhoto(int32_t edge, uint32_t seed) {
    std::mt19937 random(seed);
    return picture(edge, edge, [&](int x, int y) {
        const int noise = int(random() % 41) - 20;
        return Rgba{uint8_t(std::clamp(int(120 + 90 * std::sin(x / 9.0) * std::cos(y / 13.0)) + noise, 0, 255)),
                    uint8_t(std::clamp(int(150 + 70 * std::sin((x + y) / 17.0)) + noise, 0, 255)),
                    uint8_t(std::clamp(int(60 + 50 * std::cos(x / 5.0 - y / 11.0)) + noise, 0, 255)), 255};
    });
}

}  // namespace

TEST(Resample, CheckerboardHalvesToTheLinearMean) {
    const Image board = picture(512, 512, [](int x, int y) {
        const uint8_t v = (x + y) % 2 ? 255 : 0;
        return Rgba{v, v, v, 255};
    });
    const Image half = quor::resample(board, 256, 256, Progress());
    for (size_t i = 0; i < half.rgba.size(); i += 4) {
        ASSERT_NEAR(half.rgba[i], 188, 2) << i / 4;
        ASSERT_EQ(half.rgba[i + 3], 255);
    }
}

TEST(Srgb, EveryByteComesBackAndLevelsBetweenGoToTheNearer) {
    for (int b = 0; b < 256; ++b) ASSERT_EQ(quor::srgb::fromLinear(quor::srgb::toLinear(uint8_t(b))), b);
    const auto decode = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    for (int b = 1; b < 256; ++b) {
        const double edge = decode((b - 0.5) / 255.0);
        ASSERT_EQ(quor::srgb::fromLinear(float(edge * 1.0001)), b);
        ASSERT_EQ(quor::srgb::fromLinear(float(edge * 0.9999)), b - 1);
    }
    EXPECT_EQ(quor::srgb::fromLinear(-1.0f), 0);
    EXPECT_EQ(quor::srgb::fromLinear(std::nanf("")), 0);
    EXPECT_EQ(quor::srgb::fromLinear(7.0f), 255);
}

TEST(Resample, WholeHalvingsAreTheAreaAverageInLight) {
    // Against a direct average over each block, colours weighted by alpha.
    std::mt19937 random(21);
    const Image source = picture(64, 32, [&](int x, int y) {
        return Rgba{uint8_t(random()), uint8_t(x * 4), uint8_t(y * 8), uint8_t(x < 8 ? 0 : 128 + random() % 128)};
    });
    // A level of 256 texels or fewer hands each channel's rounding on: a
    // texel may be off by what it takes and what it gives, each at most half
    // the largest step between bytes.
    const double handedOn = quor::srgb::toLinear(255) - quor::srgb::toLinear(254);
    for (int factor : {2, 4, 32}) {
        const Image out = quor::resample(source, 64 / factor, 32 / factor, Progress());
        ASSERT_EQ(out.width, 64 / factor);
        ASSERT_EQ(out.height, 32 / factor);
        for (int y = 0; y < out.height; ++y)
            for (int x = 0; x < out.width; ++x) {
                double light[3] = {0, 0, 0}, alpha = 0;
                for (int v = y * factor; v < (y + 1) * factor; ++v)
                    for (int u = x * factor; u < (x + 1) * factor; ++u) {
                        const Rgba p = at(source, u, v);
                        for (int c = 0; c < 3; ++c) light[c] += p[3] * double(quor::srgb::toLinear(p[size_t(c)]));
                        alpha += p[3];
                    }
                const Rgba got = at(out, x, y);
                ASSERT_NEAR(got[3], alpha / (factor * factor), 1.0) << factor << " at " << x << "," << y;
                if (alpha == 0) continue;  // filled in from its neighbours
                for (int c = 0; c < 3; ++c) {
                    if (out.pixelCount() <= 256) {
                        ASSERT_NEAR(quor::srgb::toLinear(got[size_t(c)]), light[c] / alpha, handedOn)
                            << factor << " at " << x << "," << y << " channel " << c;
                    } else {
                        ASSERT_NEAR(got[size_t(c)], quor::srgb::fromLinear(float(light[c] / alpha)), 1)
                            << factor << " at " << x << "," << y << " channel " << c;
                    }
                }
            }
    }
}

TEST(Resample, SmallLevelsKeepEachChannelsMeanInLight) {
    // Rounded to the nearest bytes, a 1x1 level can be a percent off in a
    // channel; made up for by another channel, its hue shifts.  Each channel
    // must keep its own mean, to half a byte step shared by the texels.
    const double halfStep = (quor::srgb::toLinear(255) - quor::srgb::toLinear(254)) / 2;
    const std::pair<int, int> sizes[] = {{16, 16}, {8, 8}, {4, 4}, {2, 2}, {1, 1}, {12, 12}, {16, 9}, {5, 3}};
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        const Image photo = noisyPhoto(256, seed);
        for (const auto& [w, h] : sizes) {
            const Image level = quor::resample(photo, w, h, Progress());
            ASSERT_EQ(level.pixelCount(), size_t(w * h));
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(meanLight(level, c), meanLight(photo, c), halfStep / (w * h) + 1e-6)
                    << w << "x" << h << " seed " << seed << " channel " << c;
        }
    }
}

TEST(Resample, NoTexelOfACutOutIsDarkerThanTheVisibleColoursAroundIt) {
    // A fence: bars 4 texels wide every 16, black and fully transparent
    // between them, shading from light on the left to dark on the right.
    // Black under the gaps would seep into every smaller level as a fringe;
    // no texel, visible or not, may be darker than the darkest visible
    // colour near it, and near means three bars either way.
    const auto bar = [](int x) {
        return Rgba{uint8_t(250 - x * 6 / 10), uint8_t(200 - x / 2), uint8_t(230 - x * 7 / 10), 255};
    };
    const Image fence = picture(256, 256, [&](int x, int) { return x % 16 < 4 ? bar(x) : Rgba{0, 0, 0, 0}; });
    const double handedOn = quor::srgb::toLinear(255) - quor::srgb::toLinear(254);
    const std::pair<int, int> sizes[] = {{128, 128}, {64, 64}, {32, 32},   {16, 16}, {8, 8}, {4, 4},
                                         {2, 2},     {1, 1},   {100, 100}, {12, 12}, {40, 7}};
    for (const auto& [w, h] : sizes) {
        const Image level = quor::resample(fence, w, h, Progress());
        const double slack = level.pixelCount() <= 256 ? handedOn : 0.0;
        for (int x = 0; x < w; ++x) {
            const int from = std::max(0, x * 256 / w - 48), to = std::min(255, (x + 1) * 256 / w + 48);
            Rgba darkest{255, 255, 255, 255};
            for (int u = from; u <= to; ++u)
                if (u % 16 < 4)
                    for (size_t c = 0; c < 3; ++c) darkest[c] = std::min(darkest[c], bar(u)[c]);
            for (int y = 0; y < h; ++y)
                for (size_t c = 0; c < 3; ++c)
                    ASSERT_GE(quor::srgb::toLinear(at(level, x, y)[c]), quor::srgb::toLinear(darkest[c]) - slack - 1e-6)
                        << w << "x" << h << " at " << x << "," << y << " channel " << c;
        }
    }
}

TEST(Resample, FlatStaysExactlyFlat) {
    const std::pair<int, int> sizes[] = {{256, 256}, {1, 1}, {37, 11}, {300, 200}, {600, 3}};
    for (const Rgba c : {Rgba{0, 0, 0, 255}, Rgba{1, 128, 254, 255}, Rgba{255, 255, 255, 255}, Rgba{90, 30, 200, 77}}) {
        const Image source = flat(64, 48, c);
        for (auto [w, h] : sizes) {
            const Image out = quor::resample(source, w, h, Progress());
            ASSERT_EQ(out.width, w);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) ASSERT_EQ(at(out, x, y), c) << w << "x" << h << " at " << x << "," << y;
        }
    }
}

TEST(Resample, TransparentPixelsDoNotColourTheirNeighbours) {
    const Image source = picture(2, 1, [](int x, int) { return x ? Rgba{255, 0, 0, 0} : Rgba{0, 0, 255, 255}; });
    const Rgba out = at(quor::resample(source, 1, 1, Progress()), 0, 0);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[2], 255);
    EXPECT_NEAR(out[3], 128, 1);
}

TEST(Remap, WithoutDitherEachPixelTakesTheNearestEntry) {
    std::mt19937 random(7);
    const Palette palette = randomPalette(random);
    const Image source = picture(64, 64, [&](int, int) {
        return Rgba{uint8_t(random()), uint8_t(random()), uint8_t(random()), 255};
    });
    const Image out = quor::remapToPalette(source, palette, false, Progress());
    ASSERT_TRUE(out.indexed);
    EXPECT_EQ(out.palette, palette);
    for (size_t i = 0; i < out.pixelCount(); ++i) {
        const Rgba want = at(source, int(i % 64), int(i / 64));
        int best = INT32_MAX;
        for (const auto& e : palette) best = std::min(best, distance(want, e));
        ASSERT_EQ(distance(want, palette[out.indices[i]]), best) << i;
    }
}

TEST(Remap, EqualColoursTakeTheFirstEntryUnlessAlphaTellsThemApart) {
    Palette palette{};
    palette[0] = {0, 0, 0, 0};    // transparent black
    palette[9] = {0, 0, 0, 255};  // opaque black
    palette[1] = {255, 255, 255, 255};
    const Image opaque = quor::remapToPalette(flat(4, 4, {0, 0, 0, 255}), palette, true, Progress());
    for (uint8_t index : opaque.indices) ASSERT_EQ(index, 0);
    const Image both = picture(2, 1, [](int x, int) { return Rgba{0, 0, 0, uint8_t(x ? 0 : 255)}; });
    EXPECT_EQ(quor::remapToPalette(both, palette, false, Progress()).indices, (std::vector<uint8_t>{9, 0}));
}

TEST(Remap, DitherKeepsFlatColoursAndTheMean) {
    std::mt19937 random(3);
    Palette palette = randomPalette(random);
    palette[17] = {40, 50, 60, 0};
    const Image exact = quor::remapToPalette(flat(32, 32, {60, 50, 40, 255}), palette, true, Progress());
    for (uint8_t index : exact.indices) ASSERT_EQ(index, 17);

    // Between black and white the dither must give the grey's light: the
    // share of white pixels is the grey's linear level, not its byte value.
    Palette bw{};
    bw[1] = {255, 255, 255, 0};
    const Image grey = quor::remapToPalette(flat(64, 64, {100, 100, 100, 255}), bw, true, Progress());
    EXPECT_NEAR(meanLight(grey, 0), quor::srgb::toLinear(100), 0.002);

    // Small pictures too: an odd size, a row, and the 2x2 and 1x1 a chain ends in.
    // (A palette quantized from a picture is dense around its colours.)
    Palette near{};
    for (auto& e : near)
        e = {uint8_t(80 + random() % 21), uint8_t(150 + random() % 60), uint8_t(60 + random() % 90), 0};
    for (const auto& [w, h] : {std::pair{7, 5}, std::pair{9, 1}, std::pair{2, 2}, std::pair{4, 4}}) {
        const Image source = picture(w, h, [](int x, int y) {
            return Rgba{uint8_t(70 + 9 * x), uint8_t(200 - 7 * y), 90, 255};
        });
        const Image out = quor::remapToPalette(source, near, true, Progress());
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(meanLight(out, c), meanLight(source, c), 0.02 * meanLight(source, c))
                << w << "x" << h << " channel " << c;
    }
}

TEST(Remap, TinyPicturesKeepTheirMean) {
    // The last levels of a chain: a few pixels, each a blend of a photo's
    // colours.  They cannot spread an error; the choice must weigh them together.
    const Image photo = noisyPhoto(64, 9);
    const Palette palette = quor::quantize256(photo, true, Progress()).palette;
    for (int32_t edge : {4, 2}) {
        for (int shift = 0; shift < 64; shift += 8) {
            const Image part = quor::resample(
                picture(16, 16, [&](int x, int y) { return at(photo, (x + shift) % 64, y + shift / 2); }), edge, edge,
                Progress());
            const Image source = quor::sharpen(quor::soften(part));
            const Image out = quor::remapToPalette(source, palette, true, Progress());
            // 2.5% (a 2x2 level has only four entries of the palette to
            // mix), or near black a step of a byte (which is more there).
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(meanLight(out, c), meanLight(source, c), std::max(0.025 * meanLight(source, c), 0.001))
                    << edge << "x" << edge << " at " << shift << " channel " << c;
        }
    }
}

TEST(Quantize, ThePaletteHoldsThePicturesColourSeenFromAfar) {
    // A 1x1 level can only be a palette entry; it must be the picture's mean.
    const Image photo = noisyPhoto(128, 11);
    const Image reduced = quor::quantize256(photo, true, Progress());
    Image one = quor::remapToPalette(quor::resample(reduced, 1, 1, Progress()), reduced.palette, true, Progress());
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(meanLight(one, c), meanLight(photo, c), 0.03 * meanLight(photo, c)) << "channel " << c;
}

TEST(Quantize, FewColoursComeThroughExactlyAndFourthBytesFollowAlpha) {
    const Rgba colours[] = {{255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}, {12, 34, 56, 255}};
    const Image source = picture(40, 40, [&](int x, int y) { return colours[(x / 10 + y / 10) % 4]; });
    const Image out = quor::quantize256(source, true, Progress());
    ASSERT_TRUE(out.indexed);
    EXPECT_EQ(out.rgba, source.rgba);
    for (const auto& e : out.palette) EXPECT_EQ(e.extra, 0);

    const Image withAlpha = picture(8, 8, [](int x, int) { return Rgba{200, 100, 0, uint8_t(x < 4 ? 255 : 64)}; });
    const Image q = quor::quantize256(withAlpha, true, Progress());
    EXPECT_EQ(q.palette[q.indices[7]].extra, 64);
    EXPECT_EQ(q.palette[q.indices[0]].extra, 255);
}

TEST(Filters, FlatStaysFlatAndAPointSpreadsOrSharpens) {
    const Image grey = flat(5, 5, {77, 77, 77, 255});
    EXPECT_EQ(quor::soften(grey).rgba, grey.rgba);
    EXPECT_EQ(quor::sharpen(grey).rgba, grey.rgba);

    // In light, a point spreads as 4:2:1 sixteenths and sharpening pushes
    // it up (clamped at white) and its neighbours down (clamped at black).
    const Image dot = picture(5, 5, [](int x, int y) {
        return x == 2 && y == 2 ? Rgba{250, 250, 250, 255} : Rgba{0, 0, 0, 255};
    });
    const double light = quor::srgb::toLinear(250);
    const Image soft = quor::soften(dot);
    EXPECT_EQ(at(soft, 2, 2)[0], quor::srgb::fromLinear(float(light * 4 / 16)));
    EXPECT_EQ(at(soft, 3, 2)[0], quor::srgb::fromLinear(float(light * 2 / 16)));
    EXPECT_EQ(at(soft, 3, 3)[0], quor::srgb::fromLinear(float(light / 16)));
    EXPECT_EQ(at(soft, 4, 4)[0], 0);
    const Image sharp = quor::sharpen(dot);
    EXPECT_EQ(at(sharp, 2, 2)[0], 255);
    EXPECT_EQ(at(sharp, 3, 2)[0], 0);
    EXPECT_GT(at(quor::sharpen(soft), 2, 2)[0], at(soft, 2, 2)[0]);

    // Neither filter brightens or darkens a picture as a whole.
    const Image photo = noisyPhoto(64, 5);
    for (const Image& filtered : {quor::soften(photo), quor::sharpen(quor::soften(photo))})
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(meanLight(filtered, c), meanLight(photo, c), 0.003 * meanLight(photo, c));
}

TEST(Adjust, BrightnessIsMonotonicAndZeroChangesNothing) {
    const Image ramp = picture(256, 1, [](int x, int) {
        return Rgba{uint8_t(x), uint8_t(255 - x), uint8_t(x / 2), 255};
    });
    EXPECT_EQ(quor::adjust(ramp, 0, 0, 0, 0, 0).rgba, ramp.rgba);
    Image previous = quor::adjust(ramp, 0, 0, 0, -100, 0);
    for (size_t i = 0; i < previous.rgba.size(); i += 4) ASSERT_EQ(previous.rgba[i], 0);
    for (int d = -99; d <= 100; ++d) {
        const Image next = quor::adjust(ramp, 0, 0, 0, d, 0);
        for (size_t i = 0; i < next.rgba.size(); ++i) ASSERT_GE(next.rgba[i], previous.rgba[i]) << d;
        if (d < 0) {
            EXPECT_LT(meanChannel(next, 0), meanChannel(ramp, 0)) << d;
        }
        previous = next;
    }
    EXPECT_EQ(at(previous, 0, 0)[0], 255);
    EXPECT_EQ(quor::adjust(ramp, 0, 0, 0, 500, 0).rgba, previous.rgba);  // clamped to 100
}

TEST(Adjust, OtherAdjustmentsDoWhatTheHeaderSays) {
    const Image colour = flat(2, 2, {200, 100, 50, 255});
    const Rgba grey = at(quor::adjust(colour, 0, -100, 0, 0, 0), 0, 0);
    EXPECT_TRUE(grey[0] == grey[1] && grey[1] == grey[2]);
    EXPECT_EQ(at(quor::adjust(colour, -100, 0, 0, 0, 0), 0, 0), (Rgba{128, 128, 128, 255}));
    const Rgba warm = at(quor::adjust(colour, 0, 0, 0, 0, 100), 0, 0);
    EXPECT_GT(warm[0], 200);
    EXPECT_LT(warm[2], 50);
    const Rgba lifted = at(quor::adjust(colour, 0, 0, 100, 0, 0), 0, 0);
    EXPECT_GT(lifted[1], 100);
    EXPECT_EQ(at(quor::adjust(flat(1, 1, {255, 255, 255, 255}), 0, 0, 100, 0, 0), 0, 0)[0], 255);
}
