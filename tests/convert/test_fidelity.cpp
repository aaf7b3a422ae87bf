// Every level of a set made from a picture looks like that picture.  Each
// set is made as a user makes it (Load Any Image, Create Image Set, Save) and
// judged against the source picture with this file's own decoding of the
// saved Extended Bitmap and its own arithmetic in linear light, never with
// the rules the program follows.
#include "outsidereaders.h"
#include "setpixels.h"
#include "testsets.h"

#include "batch.h"
#include "import.h"
#include "palettelevels.h"
#include "presets.h"
#include "splitjoin.h"

#include <gtest/gtest.h>

#include <Magick++.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
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

// An 8-bit BMP of `p` whose palette is `palette` in that order (every
// colour of the picture must be in it), rows bottom first.
Bytes paletteBmp(const Picture& p, const std::vector<Rgba>& palette) {
    Bytes b = setHeaders8(p.edge);
    for (size_t i = 0; i < palette.size(); ++i) {
        b[54 + 4 * i] = palette[i].b;
        b[55 + 4 * i] = palette[i].g;
        b[56 + 4 * i] = palette[i].r;
    }
    const size_t row = (size_t(p.edge) + 3) & ~size_t(3);
    for (int y = p.edge - 1; y >= 0; --y) {
        for (int x = 0; x < p.edge; ++x) {
            const Rgba t = p.at(x, y);
            const auto at = std::find_if(palette.begin(), palette.end(),
                                         [&](const Rgba& c) { return c.r == t.r && c.g == t.g && c.b == t.b; });
            b.push_back(uint8_t(at - palette.begin()));
        }
        b.resize(b.size() + row - size_t(p.edge), 0);
    }
    finishSet8(b);
    return b;
}

// Numbers that look random, the same on every run.
struct Dice {
    unsigned state;
    int roll(int sides) {
        state = state * 1103515245u + 12345u;
        return int((state >> 16) % unsigned(sides));
    }
};

// A painted tree on a magenta background, the background first in the
// palette: twenty-four greens in a ragged crown, six browns in a trunk.
std::pair<Picture, std::vector<Rgba>> treeOnMagenta(int edge) {
    std::vector<Rgba> palette{{255, 0, 255, 255}};
    for (int i = 0; i < 24; ++i)
        palette.push_back({uint8_t(30 + 60 * i / 23), uint8_t(80 + 120 * i / 23), uint8_t(20 + 40 * i / 23), 255});
    for (int i = 0; i < 6; ++i) palette.push_back({uint8_t(90 + 5 * i), uint8_t(60 + 3 * i), uint8_t(30 + 2 * i), 255});
    Dice dice{7};
    std::vector<std::array<double, 3>> blobs;  // centre and radius, in 256ths
    for (int i = 0; i < 40; ++i)
        blobs.push_back({128.0 + dice.roll(120) - 60, 100.0 + dice.roll(90) - 45, 14.0 + dice.roll(20)});
    Picture p = flat(edge, palette[0]);
    const double scale = 256.0 / edge;
    for (int y = 0; y < edge; ++y)
        for (int x = 0; x < edge; ++x) {
            const double u = (x + 0.5) * scale, v = (y + 0.5) * scale;
            if (v > 140 && v < 245 && std::fabs(u - 128 - 0.05 * (v - 200)) < 9 - (v - 140) * 0.02) {
                p.at(x, y) = palette[25 + size_t(int(u) / 3 % 6)];
                continue;
            }
            double shade = -1;
            for (const auto& [bx, by, r] : blobs) {
                const double d =
                    std::hypot(u - bx, v - by) / r + 0.12 * std::sin(u * 0.9 + by) * std::cos(v * 0.7 + bx);
                if (d < 1) shade = std::max(shade, 1 - d);
            }
            if (shade >= 0)
                p.at(x, y) =
                    palette[1 + size_t(std::clamp(int(shade * 18) + dice.roll(9) - 4 + int((100 - v) * 0.03), 0, 23))];
        }
    return {p, palette};
}

// Four colours in large flat areas: a disc crossed by a thin line, a block
// and a band, as pixel art drawn four times its size.
Picture fourColours(int edge) {
    const Rgba colours[4] = {{20, 12, 28, 255}, {68, 36, 52, 255}, {210, 125, 44, 255}, {222, 238, 214, 255}};
    Picture p = flat(edge, colours[3]);
    for (int y = 0; y < edge; ++y)
        for (int x = 0; x < edge; ++x) {
            const int u = x * 64 / edge, v = y * 64 / edge;
            int c = 3;
            if ((u - 20) * (u - 20) + (v - 22) * (v - 22) < 150) c = 2;
            if (u > 34 && u < 58 && v > 30 && v < 56) c = 1;
            if ((std::abs(u - v) < 3 && u < 30) || v > 58) c = 0;
            p.at(x, y) = colours[c];
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
        const CommandOutcome o = convertCurrentImage(SetDepth::Argb4444, m.ws(), m.library, m.options,
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

void expectChannelMeansKept(const std::vector<Level>& levels, double share, int smallestChecked, const int codeBits[3],
                            const std::string& what);

TEST(Fidelity, AFewColourPictureGetsNoColourItLacksAndKeepsItsMean) {
    // White with a red and a navy stripe, as a palette picture, a
    // sixteen-colour one with unequal areas, four colours in flat areas, and
    // a checker of red and blue texels, finer than any smaller level.
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
    Picture checker = flat(256, {255, 0, 0, 255});
    for (int y = 0; y < 256; ++y)
        for (int x = (y + 1) % 2; x < 256; x += 2) checker.at(x, y) = {0, 0, 255, 255};
    const Picture four = fourColours(256);
    struct Case {
        const Picture* source;
        bool fine;  // detail finer than the levels: each keeps the mean
    };
    const int bits8[3] = {8, 8, 8};
    for (const Case& c : {Case{&stripes, false}, Case{&sixteen, false}, Case{&four, false}, Case{&checker, true}})
        for (int lightening : {0, -4}) {
            Maker m;
            m.options.lightening = lightening;
            const auto levels = m.make(*c.source, true);
            ASSERT_FALSE(levels.empty());
            const std::string what =
                "picture of " + std::to_string(c.source->edge) + ", lightening " + std::to_string(lightening);
            const std::set<Rgba> used(levels.front().picture.texels.begin(), levels.front().picture.texels.end());
            for (const Level& l : levels)
                for (const Rgba& t : l.picture.texels)
                    ASSERT_TRUE(used.count(t)) << what << ": level " << l.picture.edge << " holds " << int(t.r) << ","
                                               << int(t.g) << "," << int(t.b) << ", which the picture lacks";
            // From afar the picture is its mean, lightened as the small
            // levels are (each byte scaled toward black): the used colour
            // nearest to it in linear light.
            const auto mean = means(*c.source);
            const auto lightened = [&](size_t channel) {
                const double l = mean[channel];
                const double byte =
                    std::lround(255 * (l <= 0.0031308 ? l * 12.92 : 1.055 * std::pow(l, 1 / 2.4) - 0.055));
                return linear(uint8_t(std::lround(byte * (1 + lightening / 100.0))));
            };
            const auto distance = [&](const Rgba& t) {
                return std::pow(linear(t.r) - lightened(0), 2) + std::pow(linear(t.g) - lightened(1), 2) +
                       std::pow(linear(t.b) - lightened(2), 2);
            };
            // (Of a checker's two colours, either.)
            const Rgba nearest = *std::min_element(
                used.begin(), used.end(), [&](const Rgba& a, const Rgba& b) { return distance(a) < distance(b); });
            EXPECT_NEAR(distance(levels.back().picture.texels.front()), distance(nearest), 1e-12) << what;
            if (c.fine && lightening == 0) expectChannelMeansKept(levels, 0.02, 16, bits8, what);
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
                ASSERT_TRUE(m.ws().state().depth == SetDepth::Argb32);
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
    ASSERT_TRUE(m.ws().state().depth == SetDepth::Argb32) << "a picture with alpha becomes a 32-bit set";
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
    EXPECT_TRUE(again.ws().state().depth == SetDepth::Argb32);
    const Bytes first = readBytes(saved);
    const auto reloaded = again.save();
    EXPECT_EQ(readBytes(again.scratch.path("saved.bmp")), first);
}

namespace {

// A picket fence seen at a slant, drawn with soft edges: pickets a texel and
// a half wide every seven and a third, and two rails.  A plain average turns
// it into a faint haze in the distance.
Picture softFence(int edge) {
    Picture fence = flat(edge, {0, 0, 0, 0});
    for (int y = 0; y < edge; ++y)
        for (int x = 0; x < edge; ++x) {
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
    return fence;
}

}  // namespace

TEST(Fidelity, CutOutsKeepTheirCoverageWhenAsked) {
    const Picture fence = softFence(256);
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

namespace {

// An opaque disc whose rim fades through eight colours of rising
// transparency level (entries 1 to 8 of the palette) into the background
// (entry 0); forty colours inside.
std::pair<Picture, std::vector<Rgba>> gradedDisc(int edge) {
    std::vector<Rgba> palette{{40, 60, 200, 255}};
    for (int i = 0; i < 8; ++i) palette.push_back({uint8_t(200 + 5 * i), uint8_t(180 - 10 * i), 60, 255});
    for (int i = 0; i < 40; ++i) palette.push_back({uint8_t(120 + 100 * i / 40), uint8_t(70 + 60 * i / 40), 30, 255});
    Dice dice{3};
    Picture p = flat(edge, palette[0]);
    for (int y = 0; y < edge; ++y)
        for (int x = 0; x < edge; ++x) {
            const double d = std::hypot(x + 0.5 - edge * 0.47, y + 0.5 - edge * 0.53) / (edge * 0.35) +
                             0.05 * std::sin(x * 0.3) * std::cos(y * 0.25);
            if (d >= 1.0) continue;
            p.at(x, y) = d >= 0.9 ? palette[1 + size_t(std::min(7, int((1.0 - d) / 0.1 * 8)))]
                                  : palette[9 + size_t(std::clamp(int(d * 40) + dice.roll(7) - 3, 0, 39))];
        }
    return {p, palette};
}

// A leaf with a soft rim on fully transparent texels: a third of the
// picture covered.
Picture leaf(int edge) {
    Picture p = flat(edge, {0, 0, 0, 0});
    for (int y = 0; y < edge; ++y)
        for (int x = 0; x < edge; ++x) {
            const double u = (x + 0.5) / edge - 0.5, v = (y + 0.5) / edge - 0.5;
            const double across = u * 0.8 - v * 0.6, along = u * 0.6 + v * 0.8;
            const double d = std::hypot(across / 0.52, along / 0.3);
            if (d >= 1) continue;
            p.at(x, y) = {uint8_t(170 + 60 * across), uint8_t(60 + 160 * std::fabs(along)), 30,
                          uint8_t(d < 0.93 ? 255 : std::lround((1 - d) / 0.07 * 255))};
        }
    return p;
}

// A cut-out kept, judged against the chain's own largest level: no texel of
// a smaller level shows where all of the largest level under it is fully
// transparent, and down to 8x8 each level covers at half opacity within
// three points of the share the largest level covers.
void expectCutOutKept(const std::vector<Picture>& levels, const std::string& what) {
    ASSERT_FALSE(levels.empty()) << what;
    const Picture& top = levels.front();
    const auto coverage = [](const Picture& p) {
        return double(std::count_if(p.texels.begin(), p.texels.end(), [](const Rgba& t) { return t.a >= 128; })) /
               double(p.texels.size());
    };
    for (const Picture& l : levels) {
        const int block = top.edge / l.edge;
        int strays = 0;
        for (int y = 0; y < l.edge; ++y)
            for (int x = 0; x < l.edge; ++x) {
                bool clear = true;
                for (int v = y * block; v < (y + 1) * block && clear; ++v)
                    for (int u = x * block; u < (x + 1) * block && clear; ++u) clear = top.at(u, v).a == 0;
                strays += clear && l.at(x, y).a != 0;
            }
        EXPECT_EQ(strays, 0) << what << ": texels seen over the background at level " << l.edge;
        if (l.edge >= 8) {
            EXPECT_NEAR(coverage(l), coverage(top), 0.03) << what << ", level " << l.edge;
        }
    }
}

std::vector<Picture> picturesOf(const std::vector<Level>& levels) {
    std::vector<Picture> out;
    for (const Level& l : levels) out.push_back(l.picture);
    return out;
}

}  // namespace

// Cut-outs made as users make them, at the shipped settings (smoothing on,
// lightening -4): an 8-bit picture with colour 0 transparent by the
// commands, with coverage kept, by a batch and by a batch of DDS textures;
// one whose palette's levels fade through its rim; and a picture with alpha
// brought to 256 colours before its chain is made.
TEST(Fidelity, CutOutsShowNothingOverTheirBackground) {
    const auto [tree, treePalette] = treeOnMagenta(256);
    const auto [disc, discPalette] = gradedDisc(256);
    struct Case {
        std::string what;
        std::function<std::vector<Picture>(Maker&)> make;
    };
    const auto byCommands = [](const Picture& picture, const std::vector<Rgba>& palette, bool keepCoverage,
                               const std::function<void(LevelTable&)>& preset) {
        return [&picture, &palette, keepCoverage, preset](Maker& m) {
            m.options.keepCoverage = keepCoverage;
            const QString in = m.scratch.path("picture.bmp");
            writeBytes(in, paletteBmp(picture, palette));
            EXPECT_TRUE(loadAnyImage(in, m.ws(), m.library, m.options, 256).ok);
            PaletteLevels levels;
            getpalette(m.ws(), levels);
            preset(levels.levels);
            EXPECT_TRUE(savepalette(m.ws(), levels));
            EXPECT_TRUE(createImageSet(m.ws(), m.library, m.options, {}).ok);
            return picturesOf(m.save());
        };
    };
    const auto byBatch = [&](bool dds) {
        return [&tree, &treePalette, dds](Maker& m) -> std::vector<Picture> {
            QDir(m.scratch.dir.path()).mkpath("in");
            QDir(m.scratch.dir.path()).mkpath("out");
            writeBytes(m.scratch.path("in/tree.bmp"), paletteBmp(tree, treePalette));
            BatchRequest request{m.scratch.path("in"), m.scratch.path("out"), {"tree.bmp"}, true, 256, m.options};
            request.writeDds = dds;
            PaletteLevels palette;
            const BatchSummary summary = runBatch(request, m.ws(), m.library, palette, {});
            EXPECT_EQ(summary.convertedCount(), 1) << summary.text().toStdString();
            if (!dds) return picturesOf(readSet(readBytes(m.scratch.path("out/tree.bmp"))));
            std::vector<Picture> levels;
            int edge = 256;
            for (const Bytes& mip : oiioMips(m.scratch.path("out/tree.dds"), 9, m.scratch.path("out"))) {
                Picture p{edge, std::vector<Rgba>(size_t(edge) * size_t(edge))};
                std::memcpy(p.texels.data(), mip.data(), std::min(mip.size(), p.texels.size() * 4));
                levels.push_back(std::move(p));
                edge /= 2;
            }
            return levels;
        };
    };
    std::vector<Case> cases{
        {"tree, colour 0 transparent", byCommands(tree, treePalette, false, colour0Transparent)},
        {"tree, coverage kept", byCommands(tree, treePalette, true, colour0Transparent)},
        {"disc, levels rising to colour 9",
         byCommands(disc, discPalette, false, [](LevelTable& l) { gradientTo(l, 9); })},
        {"tree by a batch", byBatch(false)},
    };
    if (!oiiotool().isEmpty()) cases.push_back({"tree by a batch of DDS textures", byBatch(true)});
#ifdef XBMTOOL
    const Picture alpha = leaf(256), fence = softFence(256);
    for (const auto& [picture, what] : {std::pair{&alpha, "leaf"}, std::pair{&fence, "soft-edged fence"}})
        cases.push_back({std::string(what) + " in 256 colours", [picture](Maker& m) {
                             m.make(*picture);
                             EXPECT_TRUE(convertCurrentImage(SetDepth::Palette8, m.ws(), m.library, m.options,
                                                             textureTool(m.ws(), ToolSettings{XBMTOOL, false}),
                                                             "picture")
                                             .ok);
                             EXPECT_FALSE(m.ws().state().depth.highColour());
                             EXPECT_TRUE(createImageSet(m.ws(), m.library, m.options, {}).ok);
                             return picturesOf(m.save());
                         }});
#endif
    for (const Case& c : cases) {
        Maker m;
        m.options = SetOptions{};  // as shipped
        const std::vector<Picture> levels = c.make(m);
        ASSERT_EQ(levels.size(), 9u) << c.what;
        expectCutOutKept(levels, c.what);
    }
}

// A region of one colour stays one colour at every level, whatever the
// lightening: at levels 128 to 16 no texel differs from all eight of its
// neighbours where the picture, box-averaged to that level, is flat there.
TEST(Fidelity, FlatAreasGetNoSpecksAtAnyLightening) {
    const Picture four = fourColours(256);
    const auto [tree, treePalette] = treeOnMagenta(256);
    struct Case {
        std::string what;
        const Picture* source;
        std::vector<Rgba> palette;
    };
    std::vector<Rgba> fourPalette;
    for (const Rgba& t : four.texels)
        if (std::find(fourPalette.begin(), fourPalette.end(), t) == fourPalette.end()) fourPalette.push_back(t);
    for (const Case& c : {Case{"four colours", &four, fourPalette}, Case{"tree on magenta", &tree, treePalette}})
        for (int lightening : {-4, 0, -40, 40}) {
            Maker m;
            m.options.lightening = lightening;
            const QString in = m.scratch.path("picture.bmp");
            writeBytes(in, paletteBmp(*c.source, c.palette));
            const auto levels = m.makeFrom(in);
            ASSERT_EQ(levels.size(), 9u);
            for (const Level& l : levels) {
                const int e = l.picture.edge;
                if (e > 128 || e < 16) continue;
                const Picture plain = boxAverage(*c.source, e);
                int specks = 0;
                for (int y = 1; y + 1 < e; ++y)
                    for (int x = 1; x + 1 < e; ++x) {
                        bool flatThere = true, alone = true;
                        for (int v = y - 1; v <= y + 1; ++v)
                            for (int u = x - 1; u <= x + 1; ++u) {
                                if (u == x && v == y) continue;
                                flatThere = flatThere && plain.at(u, v) == plain.at(x, y);
                                alone = alone && !(l.picture.at(u, v) == l.picture.at(x, y));
                            }
                        specks += flatThere && alone;
                    }
                EXPECT_EQ(specks, 0) << c.what << ", lightening " << lightening << ", level " << e;
            }
        }
}

// 16-bit levels keep each channel's light on pictures that are not
// photographs too, where one colour fills much of a level: within 0.5% of
// the saved largest level's at every level of more than 256 texels.  And
// rounding draws no tint into greys: a grey picture's texels keep their
// channels within one 5-bit step and half a 6-bit one of each other (10 of
// 255) in 5-6-5, and within a 4-bit step and a half in 4-4-4-4.
TEST(Fidelity, SixteenBitLevelsKeepEveryChannelsMeanAndGreysStayGrey) {
    Picture lines = flat(256, {28, 28, 28, 255});
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x)
            if (x % 8 == 0 || y % 11 == 0) lines.at(x, y) = {255, 255, 255, 255};
    Picture dark = flat(256, {0, 0, 0, 255});
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x)
            dark.at(x, y) = {uint8_t(22 + 12 * std::sin(x * 0.05) * std::cos(y * 0.03)),
                             uint8_t(24 + 10 * std::cos(x * 0.02 + y * 0.04)), uint8_t(16 + 8 * std::sin(y * 0.05)),
                             255};
    Picture gradient = flat(256, {0, 0, 0, 255});
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) gradient.at(x, y) = {uint8_t(x), uint8_t(y), uint8_t((x + y) / 2), 255};
    Picture greyPhoto = photoLike(256, 5, 0.4);  // dark, where tints showed most
    for (Rgba& t : greyPhoto.texels) t.r = t.b = t.g;
    struct Case {
        std::string what;
        const Picture* source;
        bool grey;
    };
    const std::vector<Case> cases{{"thin lines", &lines, true},
                                  {"dark", &dark, false},
                                  {"gradient", &gradient, false},
                                  {"grey photo", &greyPhoto, true}};
    std::vector<SetDepth> depths{SetDepth::Rgb565};
#ifdef XBMTOOL
    depths.push_back(SetDepth::Argb4444);  // through the bundled tool
#endif
    for (const SetDepth depth : depths)
        for (const Case& c : cases) {
            const std::string what = c.what + (depth == SetDepth::Rgb565 ? ", 5-6-5" : ", 4-4-4-4");
            Maker m;
            m.options = SetOptions{};
            std::vector<Level> levels = m.make(*c.source);
#ifdef XBMTOOL
            if (depth == SetDepth::Argb4444) {
                ASSERT_TRUE(convertCurrentImage(depth, m.ws(), m.library, m.options,
                                                textureTool(m.ws(), ToolSettings{XBMTOOL, false}), "picture")
                                .ok);
                ASSERT_TRUE(m.ws().state().depth == SetDepth::Argb4444);
                ASSERT_TRUE(createImageSet(m.ws(), m.library, m.options, {}).ok);
                levels = m.save();
            }
#endif
            ASSERT_EQ(levels.size(), 9u) << what;
            const auto top = means(levels.front().picture);
            for (const Level& l : levels) {
                const auto m = means(l.picture);
                for (size_t ch = 0; ch < 3 && l.picture.texels.size() > 256; ++ch)
                    EXPECT_NEAR(m[ch], top[ch], 0.005 * top[ch]) << what << ", level " << l.picture.edge << ", channel "
                                                                 << "rgb"[ch];
                int spread = 0;
                for (const Rgba& t : l.picture.texels)
                    spread = std::max(spread, std::max({t.r, t.g, t.b}) - std::min({t.r, t.g, t.b}));
                if (c.grey) {
                    EXPECT_LE(spread, depth == SetDepth::Rgb565 ? 10 : 25) << what << ", level " << l.picture.edge;
                }
            }
        }
}

namespace {

double psnr(const Picture& a, const std::vector<uint8_t>& rgba) {
    double squares = 0;
    for (size_t i = 0; i < a.texels.size(); ++i) {
        const Rgba& t = a.texels[i];
        const int d[3] = {t.r - rgba[4 * i], t.g - rgba[4 * i + 1], t.b - rgba[4 * i + 2]};
        for (int v : d) squares += double(v) * v;
    }
    const double mse = squares / (3.0 * double(a.texels.size()));
    return mse == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace

// Full colour is kept until a depth is chosen: a picture brought in keeps
// its own colours through Convert to 256 (when it has no more than 256) and
// Convert to 32, and its DDS texture is as near to it as ImageMagick's DXT1
// writer makes one from the same picture file.
TEST(Fidelity, PicturesKeepTheirColoursUntilADepthIsChosen) {
    Picture sixteen = flat(256, {0, 0, 0, 255});
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            const int k = (x / 32 + (y / 19) * 3) % 16;
            sixteen.at(x, y) = {uint8_t(17 * k + 3), uint8_t(250 - 13 * k), uint8_t((53 * k) % 251), 255};
        }
    const Picture four = fourColours(256), photo = photoLike(256, 4);
    for (const Picture* source : std::initializer_list<const Picture*>{&four, &sixteen, &photo}) {
        const std::string what = source == &four ? "four colours" : source == &sixteen ? "sixteen colours" : "photo";
        {
            Maker m;
            m.options = SetOptions{};
            m.make(*source);
            const QString dds = m.scratch.path("picture.dds");
            const CommandOutcome saved = saveDds(m.ws(), dds, DdsFormat::blocks(quor::blocks::Format::Bc1));
            ASSERT_TRUE(saved.ok) << saved.error.toStdString();
            int w = 0, h = 0;
            const double ours = psnr(*source, magickRgba(dds.toStdString(), w, h));
            Magick::Image theirs;
            theirs.read(m.scratch.path("picture.png").toStdString());
            theirs.defineValue("dds", "compression", "dxt1");
            theirs.defineValue("dds", "mipmaps", "0");
            theirs.write(m.scratch.path("theirs.dds").toStdString());
            EXPECT_GE(ours, psnr(*source, magickRgba(m.scratch.path("theirs.dds").toStdString(), w, h))) << what;
        }
#ifdef XBMTOOL
        // The chain made before or after the depth is chosen is one chain.
        for (const SetDepth depth : {SetDepth::Palette8, SetDepth::Argb32}) {
            if (depth == SetDepth::Palette8 && source == &photo) continue;  // more than 256 colours
            std::vector<Level> convertedFirst;
            for (const bool chainFirst : {false, true}) {
                Maker m;
                m.options = SetOptions{};
                m.make(*source);
                if (chainFirst) {
                    ASSERT_TRUE(createImageSet(m.ws(), m.library, m.options, {}).ok);
                }
                ASSERT_TRUE(convertCurrentImage(depth, m.ws(), m.library, m.options,
                                                textureTool(m.ws(), ToolSettings{XBMTOOL, false}), "picture")
                                .ok);
                if (!chainFirst) {
                    ASSERT_TRUE(createImageSet(m.ws(), m.library, m.options, {}).ok);
                }
                const auto levels = m.save();
                ASSERT_EQ(levels.size(), 9u);
                const std::string label = what + (depth == SetDepth::Palette8 ? " in 256 colours" : " in 32 bits");
                EXPECT_TRUE(levels.front().picture.texels == source->texels) << label;
                if (!chainFirst) {
                    convertedFirst = levels;
                    continue;
                }
                for (size_t i = 1; i < levels.size(); ++i)
                    EXPECT_TRUE(levels[i].picture.texels == convertedFirst[i].picture.texels)
                        << label << ": level " << levels[i].picture.edge << " differs when the chain came first";
            }
        }
#endif
    }
}
