// Block compression: stb_dxt's high-quality encoder, then a few rounds of
// least squares on each block's two colour endpoints, kept only where they
// lower the block's error.  The decoder follows the formats exactly; the
// reader and the tests both use it.
#include "blocks.h"

#include "image.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#define STB_DXT_STATIC
#define STB_DXT_IMPLEMENTATION
#include <stb/stb_dxt.h>

namespace quor::blocks {
namespace {

using Colour = std::array<int, 3>;

Colour expand565(uint16_t c) {
    const int r = (c >> 11) & 31, g = (c >> 5) & 63, b = c & 31;
    return {(r << 3) | (r >> 2), (g << 2) | (g >> 4), (b << 3) | (b >> 2)};
}

uint16_t get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// The four colours a BC1 block's endpoints give; in the three-colour form the
// fourth is transparent black.
std::array<Colour, 4> paletteOf(uint16_t c0, uint16_t c1, bool fourColours) {
    const Colour a = expand565(c0), b = expand565(c1);
    std::array<Colour, 4> p{a, b, {}, {}};
    for (size_t k = 0; k < 3; ++k) {
        if (fourColours) {
            p[2][k] = (2 * a[k] + b[k]) / 3;
            p[3][k] = (a[k] + 2 * b[k]) / 3;
        } else {
            p[2][k] = (a[k] + b[k]) / 2;
            p[3][k] = 0;
        }
    }
    return p;
}

// A block's texels channel by channel, so that the nearest-colour search
// runs over all 16 at once.
struct Planes {
    std::array<int32_t, 16> r, g, b;
    explicit Planes(const uint8_t* rgba) {
        for (size_t i = 0; i < 16; ++i) r[i] = rgba[4 * i], g[i] = rgba[4 * i + 1], b[i] = rgba[4 * i + 2];
    }
};

// Picks each texel's nearest of the four-colour palette; the block's summed
// squared error.
int assign(const Planes& t, uint16_t c0, uint16_t c1, std::array<uint8_t, 16>& index) {
    const auto p = paletteOf(c0, c1, true);
    std::array<int32_t, 16> best;
    for (size_t i = 0; i < 16; ++i) {
        const int32_t dr = t.r[i] - p[0][0], dg = t.g[i] - p[0][1], db = t.b[i] - p[0][2];
        best[i] = dr * dr + dg * dg + db * db;
        index[i] = 0;
    }
    for (uint8_t k = 1; k < 4; ++k)
        for (size_t i = 0; i < 16; ++i) {
            const int32_t dr = t.r[i] - p[k][0], dg = t.g[i] - p[k][1], db = t.b[i] - p[k][2];
            const int32_t d = dr * dr + dg * dg + db * db;
            index[i] = d < best[i] ? k : index[i];
            best[i] = std::min(best[i], d);
        }
    int total = 0;
    for (int32_t d : best) total += d;
    return total;
}

uint16_t to565(const float* c) {
    const auto q = [](float v, int top) {
        const int n = int(v * float(top) / 255.0f + 0.5f);
        return std::clamp(n, 0, top);
    };
    return uint16_t((q(c[0], 31) << 11) | (q(c[1], 63) << 5) | q(c[2], 31));
}

// Writes a colour block in the four-colour form (colour0 > colour1).  Equal
// endpoints cannot say four colours: every texel then takes index 0, which
// is the one colour in either form.
void emit(uint8_t* out, uint16_t c0, uint16_t c1, const std::array<uint8_t, 16>& index) {
    static constexpr uint8_t kSwapped[4] = {1, 0, 3, 2};
    uint32_t bits = 0;
    const bool same = c0 == c1, swap = c0 < c1;
    for (size_t i = 0; i < 16; ++i) {
        const uint8_t k = same ? 0 : swap ? kSwapped[index[i]] : index[i];
        bits |= uint32_t(k) << (2 * i);
    }
    put16(out, swap ? c1 : c0);
    put16(out + 2, swap ? c0 : c1);
    for (size_t b = 0; b < 4; ++b) out[4 + b] = uint8_t(bits >> (8 * b));
}

// Least squares on the endpoints given each texel's palette weight, rounded
// to 5-6-5; kept when the block's error falls.
void refineColours(const uint8_t* rgba, uint8_t* block) {
    bool flat = true;
    for (size_t i = 1; i < 16 && flat; ++i) flat = std::memcmp(rgba, rgba + 4 * i, 3) == 0;
    if (flat) return;  // stb's tables already give a single colour's best pair

    uint16_t c0 = get16(block), c1 = get16(block + 2);
    std::array<uint8_t, 16> index{};
    const Planes planes(rgba);
    int bestError = assign(planes, c0, c1, index);
    static constexpr float kWeight[4] = {1.0f, 0.0f, 2.0f / 3.0f, 1.0f / 3.0f};
    bool improved = false;
    for (int round = 0; round < 3; ++round) {
        float aa = 0, ab = 0, bb = 0, ax[3] = {0, 0, 0}, bx[3] = {0, 0, 0};
        for (size_t i = 0; i < 16; ++i) {
            const float w = kWeight[index[i]], v = 1.0f - w;
            aa += w * w;
            ab += w * v;
            bb += v * v;
            for (size_t k = 0; k < 3; ++k) {
                ax[k] += w * rgba[4 * i + k];
                bx[k] += v * rgba[4 * i + k];
            }
        }
        const float det = aa * bb - ab * ab;
        if (det < 1e-3f) break;
        float e0[3], e1[3];
        for (size_t k = 0; k < 3; ++k) {
            e0[k] = (bb * ax[k] - ab * bx[k]) / det;
            e1[k] = (aa * bx[k] - ab * ax[k]) / det;
        }
        const uint16_t n0 = to565(e0), n1 = to565(e1);
        std::array<uint8_t, 16> nIndex{};
        const int error = assign(planes, n0, n1, nIndex);
        if (error >= bestError) break;
        bestError = error;
        c0 = n0;
        c1 = n1;
        index = nIndex;
        improved = true;
    }
    // Rounding to 5-6-5 moves the endpoints off the best pair; a step of one
    // code in each channel of each endpoint, kept while it lowers the error.
    static constexpr std::array<std::pair<int, int>, 3> kChannels{{{11, 31}, {5, 63}, {0, 31}}};
    for (int pass = 0; pass < 2; ++pass) {
        bool moved = false;
        for (int which = 0; which < 2; ++which)
            for (const auto& [shift, top] : kChannels)
                for (const int step : {-1, 1}) {
                    const uint16_t c = which == 0 ? c0 : c1;
                    const int v = ((c >> shift) & top) + step;
                    if (v < 0 || v > top) continue;
                    const uint16_t n = uint16_t((c & ~(top << shift)) | (v << shift));
                    std::array<uint8_t, 16> nIndex{};
                    const int error =
                        which == 0 ? assign(planes, n, c1, nIndex) : assign(planes, c0, n, nIndex);
                    if (error >= bestError) continue;
                    bestError = error;
                    (which == 0 ? c0 : c1) = n;
                    index = nIndex;
                    moved = improved = true;
                }
        if (!moved) break;
    }
    if (improved) emit(block, c0, c1, index);
}

// BC3's alpha block: two endpoints and 3-bit indices.
void decodeAlpha3(const uint8_t* in, uint8_t* rgba) {
    const int a0 = in[0], a1 = in[1];
    int value[8] = {a0, a1};
    if (a0 > a1) {
        for (int k = 1; k < 7; ++k) value[k + 1] = ((7 - k) * a0 + k * a1) / 7;
    } else {
        for (int k = 1; k < 5; ++k) value[k + 1] = ((5 - k) * a0 + k * a1) / 5;
        value[6] = 0;
        value[7] = 255;
    }
    uint64_t bits = 0;
    for (size_t b = 0; b < 6; ++b) bits |= uint64_t(in[2 + b]) << (8 * b);
    for (size_t i = 0; i < 16; ++i) rgba[4 * i + 3] = uint8_t(value[(bits >> (3 * i)) & 7]);
}

void decodeColour(const uint8_t* in, uint8_t* rgba, bool alwaysFour) {
    const uint16_t c0 = get16(in), c1 = get16(in + 2);
    const bool four = alwaysFour || c0 > c1;
    const auto p = paletteOf(c0, c1, four);
    for (size_t i = 0; i < 16; ++i) {
        const unsigned k = (in[4 + i / 4] >> (2 * (i % 4))) & 3;
        for (size_t c = 0; c < 3; ++c) rgba[4 * i + c] = uint8_t(p[k][c]);
        rgba[4 * i + 3] = !four && k == 3 ? 0 : 255;
    }
}

}  // namespace

void encodeBlock(Format f, const uint8_t* rgba, uint8_t* out, Quality q) {
    const bool alpha = f != Format::Bc1;
    stb_compress_dxt_block(out, rgba, alpha ? 1 : 0, STB_DXT_HIGHQUAL);
    if (q == Quality::Refined) refineColours(rgba, out + (alpha ? 8 : 0));
}

void decodeBlock(Format f, const uint8_t* in, uint8_t* rgba) {
    switch (f) {
        case Format::Bc1:
            decodeColour(in, rgba, false);
            return;
        case Format::Bc2:
            decodeColour(in + 8, rgba, true);
            for (size_t i = 0; i < 16; ++i) rgba[4 * i + 3] = uint8_t(((in[i / 2] >> (4 * (i % 2))) & 15) * 17);
            return;
        case Format::Bc3:
            decodeColour(in + 8, rgba, true);
            decodeAlpha3(in, rgba);
            return;
    }
}

bool encodePicture(Format f, const uint8_t* rgba, int32_t width, int32_t height, uint8_t* out, Quality q) {
    if (f == Format::Bc2 || width <= 0 || height <= 0) return false;
    const uint8_t* source = rgba;
    Image filled;
    if (f == Format::Bc3) {
        filled.width = width;
        filled.height = height;
        filled.rgba.assign(rgba, rgba + size_t(width) * size_t(height) * 4);
        fillUnderTransparency(filled);
        source = filled.rgba.data();
    }
    uint8_t block[64];
    const size_t step = blockBytes(f);
    for (int32_t by = 0; by < height; by += 4) {
        const int32_t rows = std::min(4, height - by);
        for (int32_t bx = 0; bx < width; bx += 4) {
            const int32_t columns = std::min(4, width - bx);
            for (int32_t y = 0; y < 4; ++y)
                for (int32_t x = 0; x < 4; ++x) {
                    // A short edge repeats its texels in turn, so each weighs alike.
                    const size_t at = (size_t(by + y % rows) * size_t(width) + size_t(bx + x % columns)) * 4;
                    std::memcpy(block + 4 * (y * 4 + x), source + at, 4);
                }
            encodeBlock(f, block, out, q);
            out += step;
        }
    }
    return true;
}

void decodePicture(Format f, const uint8_t* in, int32_t width, int32_t height, uint8_t* rgba) {
    uint8_t block[64];
    const size_t step = blockBytes(f);
    for (int32_t by = 0; by < height; by += 4)
        for (int32_t bx = 0; bx < width; bx += 4) {
            decodeBlock(f, in, block);
            in += step;
            for (int32_t y = 0; y < std::min(4, height - by); ++y)
                for (int32_t x = 0; x < std::min(4, width - bx); ++x)
                    std::memcpy(rgba + (size_t(by + y) * size_t(width) + size_t(bx + x)) * 4, block + 4 * (y * 4 + x),
                                4);
        }
}

}  // namespace quor::blocks
