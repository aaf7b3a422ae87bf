// Block compression: colours fitted eight blocks at a time (colourfit.cpp),
// alpha by our own coder that keeps cut-outs whole (alphafit.cpp), BC7 by
// bc7encode.cpp; stb_dxt's high-quality encoder alone is kept as the base to
// measure against.  The decoders follow the formats exactly; the reader and
// the tests both use them.
#include "blocks.h"

#include "alphafit.h"
#include "bc7.h"
#include "bytes.h"
#include "colourfit.h"
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
    return {widenCode(r, 5), widenCode(g, 6), widenCode(b, 5)};
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
    const uint16_t c0 = le::u16(in), c1 = le::u16(in + 2);
    const bool four = alwaysFour || c0 > c1;
    const auto p = paletteOf(c0, c1, four);
    for (size_t i = 0; i < 16; ++i) {
        const unsigned k = (in[4 + i / 4] >> (2 * (i % 4))) & 3;
        for (size_t c = 0; c < 3; ++c) rgba[4 * i + c] = uint8_t(p[k][c]);
        rgba[4 * i + 3] = !four && k == 3 ? 0 : 255;
    }
}

}  // namespace

namespace {

bool anyBelow(const uint8_t* rgba, int cut) {
    for (size_t i = 0; i < 16; ++i)
        if (rgba[4 * i + 3] < cut) return true;
    return false;
}

// BC1 and BC3: colour blocks, after BC3's alpha block.  `count` gathered
// blocks of 64 bytes to consecutive encoded blocks.
void encodeColourBlocks(const uint8_t* rgba, size_t count, uint8_t* out, const Options& o, bool alpha) {
    const size_t step = alpha ? 16 : 8;
    if (o.quality == Quality::Base) {
        for (size_t k = 0; k < count; ++k)
            stb_compress_dxt_block(out + k * step, rgba + 64 * k, alpha ? 1 : 0, STB_DXT_HIGHQUAL);
        return;
    }
    if (alpha)
        for (size_t k = 0; k < count; ++k) {
            uint8_t values[16];
            for (size_t i = 0; i < 16; ++i) values[i] = rgba[64 * k + 4 * i + 3];
            fitAlpha(values, o.alphaCut, out + k * step);
        }
    fitColours(rgba, count, out + (alpha ? 8 : 0), step);
    if (!alpha && o.bc1Alpha)
        for (size_t k = 0; k < count; ++k)
            if (anyBelow(rgba + 64 * k, o.alphaCut)) fitThreeColours(rgba + 64 * k, o.alphaCut, out + k * step);
}

void encodeBc1(const uint8_t* rgba, size_t count, uint8_t* out, const Options& o) {
    encodeColourBlocks(rgba, count, out, o, false);
}

void encodeBc3(const uint8_t* rgba, size_t count, uint8_t* out, const Options& o) {
    encodeColourBlocks(rgba, count, out, o, true);
}

void encodeBc7(const uint8_t* rgba, size_t count, uint8_t* out, const Options& o) {
    for (size_t k = 0; k < count; ++k) encodeBc7Block(rgba + 64 * k, out + k * 16, o.alphaCut);
}

void decodeBc1(const uint8_t* in, uint8_t* rgba) { decodeColour(in, rgba, false); }

void decodeBc2(const uint8_t* in, uint8_t* rgba) {
    decodeColour(in + 8, rgba, true);
    for (size_t i = 0; i < 16; ++i) rgba[4 * i + 3] = uint8_t(((in[i / 2] >> (4 * (i % 2))) & 15) * 17);
}

void decodeBc3(const uint8_t* in, uint8_t* rgba) {
    decodeColour(in + 8, rgba, true);
    decodeAlpha3(in, rgba);
}

// A function of this unit, so the table below stays a constant expression
// in every build (a sanitized build will not fold another unit's address).
void decodeBc7(const uint8_t* in, uint8_t* rgba) { decodeBc7Block(in, rgba); }

// Each format's coder: an encoder of `count` gathered blocks (null for a
// format that is only read) and a decoder of one block.
struct Coder {
    Format format;
    void (*encode)(const uint8_t* rgba, size_t count, uint8_t* out, const Options& options);
    void (*decode)(const uint8_t* in, uint8_t* rgba);
};

constexpr Coder kCoders[] = {
    {Format::Bc1, encodeBc1, decodeBc1},
    {Format::Bc2, nullptr, decodeBc2},
    {Format::Bc3, encodeBc3, decodeBc3},
    {Format::Bc7, encodeBc7, decodeBc7},
};

constexpr const Coder& coderOf(Format f) {
    for (const Coder& c : kCoders)
        if (c.format == f) return c;
    return kCoders[0];  // every format of the table has its coder (checked below)
}

constexpr bool everyFormatCoded() {
    for (const FormatRow& row : kFormats) {
        const Coder& c = coderOf(row.format);
        if (c.format != row.format || c.decode == nullptr || (c.encode != nullptr) != row.encodes) return false;
    }
    return std::size(kCoders) == std::size(kFormats);
}
static_assert(everyFormatCoded(), "each block format has a decoder, and an encoder exactly when it is written");

}  // namespace

void encodeBlock(Format f, const uint8_t* rgba, uint8_t* out, const Options& o) {
    if (const auto encode = coderOf(f).encode) encode(rgba, 1, out, o);
}

void decodeBlock(Format f, const uint8_t* in, uint8_t* rgba) { coderOf(f).decode(in, rgba); }

bool encodePicture(Format f, const uint8_t* rgba, int32_t width, int32_t height, uint8_t* out, const Options& o) {
    const auto encode = coderOf(f).encode;
    if (!encode || width <= 0 || height <= 0) return false;
    const uint8_t* source = rgba;
    Image filled;
    if (formatRow(f).hasAlpha) {
        filled.width = width;
        filled.height = height;
        filled.rgba.assign(rgba, rgba + size_t(width) * size_t(height) * 4);
        fillUnderTransparency(filled);
        source = filled.rgba.data();
    }
    uint8_t group[64 * kFitBatch];
    size_t gathered = 0;
    const size_t step = blockBytes(f);
    for (int32_t by = 0; by < height; by += 4) {
        const int32_t rows = std::min(4, height - by);
        for (int32_t bx = 0; bx < width; bx += 4) {
            const int32_t columns = std::min(4, width - bx);
            uint8_t* block = group + 64 * gathered;
            if (rows == 4 && columns == 4) {
                for (int32_t y = 0; y < 4; ++y)
                    std::memcpy(block + 16 * y, source + (size_t(by + y) * size_t(width) + size_t(bx)) * 4, 16);
            } else {
                for (int32_t y = 0; y < 4; ++y)
                    for (int32_t x = 0; x < 4; ++x) {
                        // A short edge repeats its texels in turn, so each weighs alike.
                        const size_t at = (size_t(by + y % rows) * size_t(width) + size_t(bx + x % columns)) * 4;
                        std::memcpy(block + 4 * (y * 4 + x), source + at, 4);
                    }
            }
            if (++gathered < kFitBatch) continue;
            encode(group, gathered, out, o);
            out += gathered * step;
            gathered = 0;
        }
    }
    encode(group, gathered, out, o);
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
