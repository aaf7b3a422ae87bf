// A smaller level of an 8-bit set back on the set's palette.
//
// The level arrives in full colour (resampled in linear light from the
// largest level, perhaps smoothed and lightened); the largest level itself,
// an indexed picture, says which entries may be used and what lies under
// each texel.  Three rules keep the level true to the picture:
//
// - Dithering only where the picture has detail.  Where the part of the
//   picture under a texel is one entry, the texel neither takes nor hands on
//   any error, and the whole flat part takes one used entry, the nearest to
//   its colour as lightened: it stays one colour instead of being sprinkled
//   with a second one.
// - A dithered texel chooses among the entries under it and near it, so a
//   checker of red and blue stays red and blue (keeping its mean light) and
//   lightening never brings in a far colour as a speck.  A texel beside a
//   flat part, on an edge, is not dithered (a straight edge would become a
//   comb): it takes the entry nearest in light, that is the one it covers
//   most of.
// - Transparency is decided before colour: with transparency levels in use,
//   a texel less than half opaque takes a transparent entry (level below
//   128), any other an opaque one, so a cut-out gets no opaque dots over its
//   background, and colour error never crosses between the two.
#include "palettefit.h"
#include "srgb.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

namespace quor {
namespace {

constexpr int kCut = 128;

// Palette entries as four words of bits, walked bit by bit.
struct Entries {
    std::array<uint64_t, 4> words{};
    void set(size_t e) { words[e / 64] |= uint64_t(1) << (e % 64); }
    bool none() const { return (words[0] | words[1] | words[2] | words[3]) == 0; }
    bool single() const {
        int count = 0;
        for (uint64_t w : words) count += std::popcount(w);
        return count == 1;
    }
    Entries& operator|=(const Entries& o) {
        for (size_t k = 0; k < 4; ++k) words[k] |= o.words[k];
        return *this;
    }
    Entries operator&(const Entries& o) const {
        Entries r;
        for (size_t k = 0; k < 4; ++k) r.words[k] = words[k] & o.words[k];
        return r;
    }
    template <typename Visit>
    void forEach(Visit&& visit) const {
        for (size_t k = 0; k < 4; ++k)
            for (uint64_t bits = words[k]; bits != 0; bits &= bits - 1) visit(64 * k + size_t(std::countr_zero(bits)));
    }
    EntrySet set() const {
        EntrySet s;
        forEach([&](size_t e) { s.set(e); });
        return s;
    }
};

// A level of light as sRGB bytes, without rounding, and carried on past
// black and white along the curve's ends: a colour that error diffusion has
// taken out of range still tells which entry it leans to.
float encoded(float light) {
    if (light <= 0.0f) return 255.0f * 12.92f * light;
    if (light >= 1.0f) return 255.0f * (1.0f + 1.055f / 2.4f * (light - 1.0f));
    return 255.0f * (1.055f * std::pow(light, 1.0f / 2.4f) - 0.055f);
}

}  // namespace

Image remapLevel(const Image& level, const Image& picture, const Progress& progress) {
    const int32_t w = level.width, h = level.height;
    if (w <= 0 || h <= 0 || level.rgba.size() != level.pixelCount() * 4)
        throw std::invalid_argument("remap: empty level");
    if (!picture.indexed || picture.indices.size() != picture.pixelCount() || picture.pixelCount() == 0)
        throw std::invalid_argument("remap: no palette picture");
    const size_t n = level.pixelCount();
    const EntryColours colours = entryColours(picture.palette);
    const EntryLights light = entryLights(colours);

    Entries used;
    for (const uint8_t index : picture.indices) used.set(index);
    // The two sides of the cut; without transparency every entry is on the
    // opaque side.
    std::array<Entries, 2> sides;
    bool cut = false;
    used.forEach([&](size_t e) {
        sides[colours[e][3] >= kCut].set(e);
        cut |= colours[e][3] != 255;
    });
    if (!cut || sides[0].none()) sides[0] = used;
    if (sides[1].none()) sides[1] = used;
    bool opaqueLevels = false;  // opaque entries that are not fully opaque: alpha is part of the match
    sides[1].forEach([&](size_t e) { opaqueLevels |= colours[e][3] != 255; });
    const size_t channels = opaqueLevels ? 4 : 3;

    // The entries under each texel, when the level is the picture shrunk by
    // whole blocks (as every level of a chain is); else any used entry.
    const bool blocks = picture.width % w == 0 && picture.height % h == 0;
    std::vector<Entries> under(n, blocks ? Entries() : used);
    if (blocks) {
        const int32_t bw = picture.width / w, bh = picture.height / h;
        for (int32_t y = 0; y < picture.height; ++y)
            for (int32_t x = 0; x < picture.width; ++x)
                under[size_t(y / bh) * size_t(w) + size_t(x / bw)].set(
                    picture.indices[size_t(y) * size_t(picture.width) + size_t(x)]);
    }
    std::vector<uint8_t> side(n), flat(n);
    for (size_t i = 0; i < n; ++i) {
        side[i] = cut && level.rgba[4 * i + 3] < kCut ? 0 : 1;
        flat[i] = blocks && under[i].single();
    }
    // What a texel may take: the entries of its side found under it and its
    // neighbours up to two texels away, or, when there are none, any of its
    // side.  Nearer only would cost photographs half a decibel and more.  A
    // texel of a flat part takes any entry of its side, as the whole part does.
    std::vector<Entries> choosable(n);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            const size_t i = size_t(y) * size_t(w) + size_t(x);
            const Entries& all = sides[side[i]];
            if (flat[i]) {
                choosable[i] = all;
                continue;
            }
            Entries near;
            for (int32_t v = std::max(y - 2, 0); v <= std::min(y + 2, h - 1); ++v)
                for (int32_t u = std::max(x - 2, 0); u <= std::min(x + 2, w - 1); ++u)
                    near |= under[size_t(v) * size_t(w) + size_t(u)];
            choosable[i] = near & all;
            if (choosable[i].none()) choosable[i] = all;
        }
    // Texels that take and hand on colour error: those with detail all
    // around.  One beside a flat part lies on the edge of a flat area;
    // dithered, a straight edge would come out as a comb.
    std::vector<uint8_t> edge(n), dithered(n);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            const size_t i = size_t(y) * size_t(w) + size_t(x);
            if (flat[i]) continue;
            for (int32_t v = std::max(y - 1, 0); v <= std::min(y + 1, h - 1); ++v)
                for (int32_t u = std::max(x - 1, 0); u <= std::min(x + 1, w - 1); ++u)
                    edge[i] |= flat[size_t(v) * size_t(w) + size_t(u)];
            dithered[i] = side[i] == 1 && !edge[i] && n > 1;
        }

    Image out;
    out.width = w;
    out.height = h;
    out.sourceBpp = 8;
    out.indexed = true;
    out.palette = picture.palette;
    out.indices.assign(n, 0);

    // A transparent texel takes the entry nearest how it looks: colour
    // weighted by alpha, and alpha; of entries that look alike (all fully
    // transparent ones) the one nearest its colour.
    const auto transparentEntry = [&](size_t i) {
        const uint8_t* p = level.rgba.data() + 4 * i;
        const double alpha = p[3] / 255.0;
        double best = INFINITY, bestColour = INFINITY;
        size_t bestEntry = 0;
        choosable[i].forEach([&](size_t e) {
            double looks = (light[e][3] - alpha) * (light[e][3] - alpha), colour = 0;
            for (size_t c = 0; c < 3; ++c) {
                const double t = srgb::toLinear(p[c]);
                looks += (light[e][c] * light[e][3] - t * alpha) * (light[e][c] * light[e][3] - t * alpha);
                colour += (light[e][c] - t) * (light[e][c] - t);
            }
            if (looks < best - 1e-12 || (looks <= best + 1e-12 && colour < bestColour)) {
                best = looks;
                bestColour = colour;
                bestEntry = e;
            }
        });
        return uint8_t(bestEntry);
    };
    // An opaque texel: the nearest entry in sRGB bytes, as the general remap
    // matches, alpha included when opaque entries differ in it.
    const auto opaqueEntry = [&](size_t i, const float(&want)[4]) {
        float best = INFINITY;
        size_t bestEntry = 0;
        choosable[i].forEach([&](size_t e) {
            float d = 0;
            for (size_t c = 0; c < channels; ++c)
                d += (float(colours[e][c]) - want[c]) * (float(colours[e][c]) - want[c]);
            if (d < best) {
                best = d;
                bestEntry = e;
            }
        });
        return uint8_t(bestEntry);
    };
    // The entry nearest in linear light: what a texel with nothing to dither
    // with takes, so that what it covers of each entry decides (on an edge,
    // the side that covers more of it).
    const auto nearestInLight = [&](size_t i) {
        const uint8_t* p = level.rgba.data() + 4 * i;
        const double want[4] = {srgb::toLinear(p[0]), srgb::toLinear(p[1]), srgb::toLinear(p[2]), p[3] / 255.0};
        double best = INFINITY;
        size_t bestEntry = 0;
        choosable[i].forEach([&](size_t e) {
            double d = 0;
            for (size_t c = 0; c < channels; ++c) d += (light[e][c] - want[c]) * (light[e][c] - want[c]);
            if (d < best) {
                best = d;
                bestEntry = e;
            }
        });
        return uint8_t(bestEntry);
    };

    // A flat part takes one entry throughout: the one nearest the colour of
    // its texels deepest inside it (best two texels from any other part,
    // beyond the reach of the smoothing filters, which shift the colour near
    // its edges).
    std::vector<int> only(n, -1);  // the entry under a flat texel
    for (size_t i = 0; i < n; ++i)
        if (flat[i]) under[i].forEach([&](size_t e) { only[i] = int(e); });
    const auto insideBy = [&](int32_t x, int32_t y, int32_t r) {
        const int entry = only[size_t(y) * size_t(w) + size_t(x)];
        for (int32_t v = std::max(y - r, 0); v <= std::min(y + r, h - 1); ++v)
            for (int32_t u = std::max(x - r, 0); u <= std::min(x + r, w - 1); ++u)
                if (only[size_t(v) * size_t(w) + size_t(u)] != entry) return false;
        return true;
    };
    std::array<int, 256> flatEntry;
    flatEntry.fill(-1);
    for (int32_t depth = 2; depth >= 0; --depth)
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) {
                const size_t i = size_t(y) * size_t(w) + size_t(x);
                if (!flat[i] || side[i] == 0 || flatEntry[size_t(only[i])] >= 0 || !insideBy(x, y, depth)) continue;
                const uint8_t* p = level.rgba.data() + 4 * i;
                const float want[4] = {float(p[0]), float(p[1]), float(p[2]), float(p[3])};
                flatEntry[size_t(only[i])] = opaqueEntry(i, want);
            }

    if (n == 1) {
        out.indices[0] = side[0] == 0 ? transparentEntry(0) : nearestInLight(0);
        lookUpColours(out, colours);
        progress.report(1, 1);
        return out;
    }

    // Floyd-Steinberg, serpentine, colour error carried in linear light and
    // shared only among texels that dither, so an area keeps its light.
    ErrorWalk walk(w, 3);
    walk.walk(h, progress, [&](int32_t x, int32_t y, int step) {
        const size_t i = size_t(y) * size_t(w) + size_t(x);
        const uint8_t* p = level.rgba.data() + 4 * i;
        if (side[i] == 0) {
            out.indices[i] = transparentEntry(i);
            return;
        }
        if (edge[i]) {
            out.indices[i] = nearestInLight(i);
            return;
        }
        if (flat[i]) {
            out.indices[i] = uint8_t(flatEntry[size_t(only[i])]);
            return;
        }
        float want[3];
        for (size_t c = 0; c < 3; ++c)
            // The carried error may take a colour past black or white;
            // only a runaway error (a colour no entry reaches) is held back.
            want[c] = std::clamp(srgb::toLinear(p[c]) + walk.carried(x)[c], -0.5f, 1.5f);
        const float bytes[4] = {encoded(want[0]), encoded(want[1]), encoded(want[2]), float(p[3])};
        const uint8_t index = opaqueEntry(i, bytes);
        out.indices[i] = index;
        const float error[3] = {want[0] - light[index][0], want[1] - light[index][1], want[2] - light[index][2]};
        const auto takes = [&](int32_t u, int32_t v) {
            return u >= 0 && u < w && v < h && dithered[size_t(v) * size_t(w) + size_t(u)];
        };
        walk.handOn(x, step, error,
                    {takes(x + step, y), takes(x - step, y + 1), takes(x, y + 1), takes(x + step, y + 1)});
    });

    if (n <= kSettledPixels) {
        // Too few texels to spread the error: the opaque ones with detail
        // under them are chosen again together so that their mean comes out
        // right.
        std::vector<size_t> which;
        for (size_t i = 0; i < n; ++i)
            if (side[i] == 1 && !flat[i]) which.push_back(i);
        std::vector<std::array<double, 4>> want(which.size());
        std::vector<uint8_t> indices(which.size());
        std::vector<EntrySet> allowed(which.size());
        for (size_t k = 0; k < which.size(); ++k) {
            const uint8_t* p = level.rgba.data() + 4 * which[k];
            want[k] = {srgb::toLinear(p[0]), srgb::toLinear(p[1]), srgb::toLinear(p[2]), p[3] / 255.0};
            indices[k] = out.indices[which[k]];
            allowed[k] = choosable[which[k]].set();
        }
        settleMean(want, indices, light, int(channels), allowed);
        for (size_t k = 0; k < which.size(); ++k) out.indices[which[k]] = indices[k];
    }
    lookUpColours(out, colours);
    return out;
}

}  // namespace quor
