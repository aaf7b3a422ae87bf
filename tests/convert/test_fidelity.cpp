// Every level of a set made from a picture looks like that picture.  Each
// set is made as a user makes it (Load Any Image, Create Image Set, Save) and
// judged against the source picture with this file's own decoding of the
// saved Extended Bitmap and its own arithmetic in linear light, never with
// the rules the program follows.
#include "setpixels.h"
#include "testsets.h"

#include "import.h"
#include "splitjoin.h"

#include <gtest/gtest.h>

#include <Magick++.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <map>
#include <set>

using namespace corvane;
using namespace corvane::testing;

namespace {

// Alpha-weighted means in linear light; alpha alone is linear.
std::array<double, 4> means(const Picture& p) {
    std::array<double, 4> sum{};
    for (const Rgba& t : p.texels) {
        const double a = t.a / 255.0;
        sum[0] += a * linear(t.r);
        sum[1] += a * linear(t.g);
        sum[2] += a * linear(t.b);
        sum[3] += a;
    }
    if (sum[3] > 0)
        for (int c = 0; c < 3; ++c) sum[size_t(c)] /= sum[3];
    sum[3] /= double(p.texels.size());
    return sum;
}

// The area average of `source` over blocks of edge/level texels, alpha-weighted.
Picture boxAverage(const Picture& source, int level) {
    Picture out;
    out.edge = level;
    out.texels.resize(size_t(level) * size_t(level));
    const int block = source.edge / level;
    for (int y = 0; y < level; ++y)
        for (int x = 0; x < level; ++x) {
            Picture part;
            part.edge = block;
            for (int v = 0; v < block; ++v)
                for (int u = 0; u < block; ++u) part.texels.push_back(source.at(x * block + u, y * block + v));
            const auto m = means(part);
            const auto back = [](double l) {
                const double c = l <= 0.0031308 ? l * 12.92 : 1.055 * std::pow(l, 1 / 2.4) - 0.055;
                return uint8_t(std::clamp(std::lround(c * 255), 0L, 255L));
            };
            out.at(x, y) = {back(m[0]), back(m[1]), back(m[2]), uint8_t(std::lround(m[3] * 255))};
        }
    return out;
}

// Pictures as PNG files, as a painter hands them in.
void writePicture(const QString& path, const Picture& p, bool palette = false) {
    static const bool magickReady = (Magick::InitializeMagick(nullptr), true);
    (void)magickReady;
    const bool alpha = std::any_of(p.texels.begin(), p.texels.end(), [](const Rgba& t) { return t.a != 255; });
    Magick::Image image;
    image.read(size_t(p.edge), size_t(p.edge), "RGBA", Magick::CharPixel, p.texels.data());
    image.matte(alpha);
    const std::string coder = palette ? "png8:" : alpha ? "png32:" : "png24:";
    if (palette) image.type(Magick::PaletteType);
    image.write(coder + QFile::encodeName(path).toStdString());
}

Picture flat(int edge, Rgba colour) {
    Picture p;
    p.edge = edge;
    p.texels.assign(size_t(edge) * size_t(edge), colour);
    return p;
}

// Smooth gradients, a few soft shapes and grain: what a photographed or
// painted texture looks like to a resampler.
Picture photoLike(int edge, unsigned seed, double brightness = 1.0) {
    Picture p;
    p.edge = edge;
    p.texels.resize(size_t(edge) * size_t(edge));
    unsigned state = seed * 2654435761u + 1;
    const auto noise = [&] {
        state = state * 1103515245u + 12345u;
        return int((state >> 16) % 41) - 20;
    };
    for (int y = 0; y < edge; ++y)
        for (int x = 0; x < edge; ++x) {
            const double u = double(x) / edge, v = double(y) / edge;
            const double r = 120 + 90 * std::sin(6.3 * u + seed) * std::cos(3.1 * v);
            const double g = 110 + 70 * std::cos(4.7 * v + 0.5 * seed) + 40 * u;
            const double b = 90 + 80 * std::sin(9.0 * (u + v) + seed) * v;
            const auto c = [&](double value) {
                return uint8_t(std::clamp(int(std::lround(value * brightness)) + noise(), 0, 255));
            };
            p.at(x, y) = {c(r), c(g), c(b), 255};
        }
    return p;
}

struct Maker {
    Scratch scratch;
    QuorContext context{};
    QuorLibrary library{context};
    SetOptions options;
    Maker() {
        options.lightening = 0;  // lightening darkens small 8-bit levels on purpose
        options.smooth8 = true;
    }
    Workspace& ws() { return scratch.workspace; }

    // Load Any Image, Create Image Set, Save: the saved file's levels.
    std::vector<Level> make(const Picture& source, bool palette = false, int maxImport = 256) {
        const QString in = scratch.path(palette ? "picture8.png" : "picture.png");
        writePicture(in, source, palette);
        return makeFrom(in, maxImport);
    }
    std::vector<Level> makeFrom(const QString& in, int maxImport = 256) {
        CommandOutcome o = loadAnyImage(in, ws(), library, options, maxImport);
        EXPECT_TRUE(o.ok) << o.error.toStdString();
        o = createImageSet(ws(), library, options, {});
        EXPECT_TRUE(o.ok) << o.error.toStdString();
        return save();
    }
    std::vector<Level> save() {
        const QString out = scratch.path("saved.bmp");
        const CommandOutcome o = saveSet(ws(), out);
        EXPECT_TRUE(o.ok) << o.error.toStdString();
        return o.ok ? readSet(readBytes(out)) : std::vector<Level>{};
    }
};

}  // namespace

TEST(Fidelity, AFlatColourStaysThatColourAtEveryLevel) {
    const Rgba colour{152, 117, 96, 255};
    {
        Maker m;
        const auto levels = m.make(flat(256, colour), true);
        ASSERT_EQ(levels.size(), 9u);
        for (const Level& l : levels)
            for (const Rgba& t : l.picture.texels) ASSERT_EQ(t, colour) << "8-bit level " << l.picture.edge;
    }
    {
        Maker m;
        const auto levels = m.make(flat(256, colour));
        ASSERT_EQ(levels.size(), 9u);
        // The nearest 5-6-5 code of the colour, channel by channel.
        const uint16_t code = uint16_t(std::lround(152 * 31 / 255.0) << 11 | std::lround(117 * 63 / 255.0) << 5 |
                                       std::lround(96 * 31 / 255.0));
        for (const Level& l : levels)
            for (uint16_t w : l.words) ASSERT_EQ(w, code) << "16-bit level " << l.picture.edge;
    }
#ifdef XBMTOOL
    {
        // Converted to 4-4-4-4 by the bundled tool, a grey-blue stays grey-blue.
        const Rgba greyBlue{91, 92, 109, 255};
        Maker m;
        m.make(flat(64, greyBlue));
        const CommandOutcome o = convertCurrentImage(5, m.ws(), m.library, m.options,
                                                     textureTool(m.ws(), ToolSettings{XBMTOOL, false}), "grey");
        ASSERT_TRUE(o.ok) << o.error.toStdString();
        const auto levels = m.save();
        ASSERT_EQ(levels.size(), 7u);
        const auto nearest = [](int v) { return uint8_t(widen(int(std::lround(v * 15 / 255.0)), 4)); };
        for (const Level& l : levels)
            for (const Rgba& t : l.picture.texels)
                ASSERT_EQ(t, (Rgba{nearest(91), nearest(92), nearest(109), 255})) << "4-4-4-4 level " << l.picture.edge;
    }
#endif
}

TEST(Fidelity, AFewColourPictureGetsNoColourItLacks) {
    // White with a red and a navy stripe, as a palette picture, and a
    // sixteen-colour one with unequal areas.
    Picture stripes = flat(256, {255, 255, 255, 255});
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            if (y >= 40 && y < 65) stripes.at(x, y) = {220, 20, 30, 255};
            if (x >= 150 && x < 176) stripes.at(x, y) = {10, 20, 110, 255};
        }
    Picture sixteen = flat(128, {0, 0, 0, 255});
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x) {
            const int k = (x * x / 97 + y / 9) % 16;
            sixteen.at(x, y) = {uint8_t(k * 16), uint8_t(255 - k * 13), uint8_t((k * 71) % 256), 255};
        }
    for (const Picture* source : {&stripes, &sixteen}) {
        Maker m;
        const auto levels = m.make(*source, true);
        ASSERT_FALSE(levels.empty());
        const std::set<Rgba> used(levels.front().picture.texels.begin(), levels.front().picture.texels.end());
        for (const Level& l : levels)
            for (const Rgba& t : l.picture.texels)
                ASSERT_TRUE(used.count(t)) << "level " << l.picture.edge << " holds " << int(t.r) << "," << int(t.g)
                                           << "," << int(t.b) << ", which the picture lacks";
        // From afar the picture is its mean: the used colour nearest to it in linear light.
        const auto mean = means(source == &stripes ? stripes : sixteen);
        const auto distance = [&](const Rgba& t) {
            return std::pow(linear(t.r) - mean[0], 2) + std::pow(linear(t.g) - mean[1], 2) +
                   std::pow(linear(t.b) - mean[2], 2);
        };
        const Rgba nearest = *std::min_element(used.begin(), used.end(),
                                               [&](const Rgba& a, const Rgba& b) { return distance(a) < distance(b); });
        EXPECT_EQ(levels.back().picture.texels.front(), nearest);
    }
}

// Each channel's mean in linear light stays the largest level's, to within
// `share` of it or half a code step (the widest among the level's texels)
// spread over the level's texels.
void expectChannelMeansKept(const std::vector<Level>& levels, double share, int smallestChecked, const int codeBits[3],
                            const std::string& what) {
    ASSERT_FALSE(levels.empty());
    const auto top = means(levels.front().picture);
    for (const Level& l : levels) {
        const int edge = l.picture.edge;
        if (edge < smallestChecked) continue;
        const auto m = means(l.picture);
        for (int c = 0; c < 3; ++c) {
            const int steps = (1 << codeBits[c]) - 1;
            double widest = 0;
            for (const Rgba& t : l.picture.texels) {
                const int v = c == 0 ? t.r : c == 1 ? t.g : t.b;
                const int code = std::min(int(std::lround(v * steps / 255.0)), steps - 1);
                widest = std::max(
                    widest, linear(uint8_t(widen(code + 1, codeBits[c]))) - linear(uint8_t(widen(code, codeBits[c]))));
            }
            const double allowed = std::max(share * top[size_t(c)], widest / 2 / (double(edge) * edge));
            EXPECT_NEAR(m[size_t(c)], top[size_t(c)], allowed) << what << ", level " << edge << ", channel "
                                                               << "rgb"[c];
        }
    }
}

TEST(Fidelity, EveryChannelKeepsItsLightAtEveryLevel) {
    const int bits565[3] = {5, 6, 5};
    const int bits8[3] = {8, 8, 8};
    for (unsigned seed : {1u, 2u, 3u}) {
        for (double brightness : {1.0, 0.8}) {
            const Picture source = photoLike(256, seed, brightness);
            const std::string what = "picture " + std::to_string(seed) + " at " + std::to_string(brightness);
            {
                Maker m;  // a 5-6-5 set
                expectChannelMeansKept(m.make(source), 0.005, 1, bits565, what + ", 5-6-5");
            }
            {
                // A 32-bit set: the picture as a 32-bit Extended Bitmap of its largest level.
                Maker m;
                Bytes f = plainBmp(256, 256, 32);
                for (int y = 0; y < 256; ++y)
                    for (int x = 0; x < 256; ++x) {
                        const Rgba& t = source.at(x, 255 - y);
                        const size_t at = 54 + 4 * (size_t(y) * 256 + size_t(x));
                        f[at] = t.b;
                        f[at + 1] = t.g;
                        f[at + 2] = t.r;
                        f[at + 3] = 255;
                    }
                const QString in = m.scratch.path("set32.bmp");
                writeBytes(in, f);
                ASSERT_TRUE(loadExtended(in, BitmapFilter, m.ws(), m.library, m.options).ok);
                ASSERT_TRUE(m.ws().state().is32);
                ASSERT_TRUE(createImageSet(m.ws(), m.library, m.options, {}).ok);
                expectChannelMeansKept(m.save(), 0.005, 1, bits8, what + ", 32-bit");
            }
            {
                Maker m;  // 8-bit: the palette carries the larger levels by dithering
                expectChannelMeansKept(m.make(source, true), 0.01, 16, bits8, what + ", 8-bit");
            }
        }
    }
}

namespace {

// An opaque red disc with a soft rim, on texels that are fully transparent
// and black underneath: the black must never show.
Picture cutOut(int edge) {
    Picture p = flat(edge, {0, 0, 0, 0});
    for (int y = 0; y < edge; ++y)
        for (int x = 0; x < edge; ++x) {
            const double d = std::hypot(x + 0.5 - edge * 0.45, y + 0.5 - edge * 0.55) / (edge * 0.3);
            if (d < 1.0)
                p.at(x, y) = {200, uint8_t(60 + x % 7), 40, uint8_t(d < 0.9 ? 255 : std::lround((1 - d) * 2550))};
        }
    return p;
}

}  // namespace

TEST(Fidelity, AlphaIsKeptFromImportToSaveAndBack) {
    const Picture source = cutOut(256);
    Maker m;
    const auto levels = m.make(source);
    ASSERT_TRUE(m.ws().state().is32) << "a picture with alpha becomes a 32-bit set";
    ASSERT_EQ(levels.size(), 9u);
    for (const Level& l : levels) {
        const Picture expected = boxAverage(source, l.picture.edge);
        for (size_t i = 0; i < l.picture.texels.size(); ++i) {
            const Rgba& t = l.picture.texels[i];
            ASSERT_NEAR(t.a, expected.texels[i].a, 1) << "alpha of level " << l.picture.edge;
            // No visible texel darker than the visible colours it was made of.
            if (t.a > 0) {
                ASSERT_GE(t.r, 195) << "level " << l.picture.edge;
                ASSERT_LE(t.b, 45) << "level " << l.picture.edge;
            }
        }
    }
    // Loaded again, the set is the same 32-bit set.
    const QString saved = m.scratch.path("saved.bmp");
    Maker again;
    ASSERT_TRUE(loadExtended(saved, BitmapFilter, again.ws(), again.library, again.options).ok);
    EXPECT_TRUE(again.ws().state().is32);
    const Bytes first = readBytes(saved);
    const auto reloaded = again.save();
    EXPECT_EQ(readBytes(again.scratch.path("saved.bmp")), first);
}

TEST(Fidelity, CutOutsKeepTheirCoverageWhenAsked) {
    // A picket fence seen at a slant, drawn with soft edges: pickets a
    // texel and a half wide every seven and a third, and two rails.  A plain
    // average turns it into a faint haze in the distance.
    Picture fence = flat(256, {0, 0, 0, 0});
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            double cover = 0;  // of the texel, from eight by eight samples
            for (int sy = 0; sy < 8; ++sy)
                for (int sx = 0; sx < 8; ++sx) {
                    const double u = x + (sx + 0.5) / 8, v = y + (sy + 0.5) / 8;
                    const double across = std::fmod(u + 0.11 * v, 7.33);
                    const bool picket = across < 1.5;
                    const bool rail = std::fabs(v - 60 - 0.05 * u) < 1.2 || std::fabs(v - 190 - 0.05 * u) < 1.2;
                    cover += (picket || rail) ? 1.0 / 64 : 0;
                }
            if (cover > 0) fence.at(x, y) = {90, 70, 50, uint8_t(std::lround(cover * 255))};
        }
    const auto coverage = [](const Picture& p) {
        return double(std::count_if(p.texels.begin(), p.texels.end(), [](const Rgba& t) { return t.a >= 128; })) /
               double(p.texels.size());
    };
    for (bool keep : {false, true}) {
        Maker m;
        m.options.keepCoverage = keep;
        const auto levels = m.make(fence);
        ASSERT_EQ(levels.size(), 9u);
        const double top = coverage(levels.front().picture);
        for (const Level& l : levels) {
            if (keep) {
                if (l.picture.edge >= 16) {
                    EXPECT_NEAR(coverage(l.picture), top, 0.02) << "level " << l.picture.edge;
                }
                continue;
            }
            const Picture plain = boxAverage(fence, l.picture.edge);
            for (size_t i = 0; i < plain.texels.size(); ++i)
                ASSERT_NEAR(l.picture.texels[i].a, plain.texels[i].a, 1) << "level " << l.picture.edge;
        }
    }
}
