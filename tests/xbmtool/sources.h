// Source sets for the texture tool's tests, assembled byte by byte, and a
// decoder of the tool's output written from the layout alone.
#pragma once

#include "layout.h"
#include "xbmfile.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace xbmtest {

using xbm::Bytes;
using namespace corvane::layout;

struct Rgba {
    int r, g, b, a;
};

// Sixteen colours, with transparency levels that 4-4-4-4 holds exactly.
inline const std::array<Rgba, 16> kColours{{
    {255, 0, 0, 255},
    {0, 255, 0, 255},
    {0, 0, 255, 255},
    {255, 255, 255, 255},
    {0, 0, 0, 255},
    {200, 120, 40, 255},
    {40, 200, 120, 136},
    {120, 40, 200, 136},
    {250, 250, 0, 0},
    {0, 250, 250, 0},
    {90, 90, 90, 255},
    {170, 60, 60, 255},
    {60, 170, 60, 68},
    {60, 60, 170, 255},
    {230, 150, 200, 255},
    {20, 100, 160, 204},
}};

// Four by four blocks, a different arrangement on every level.  y = 0 is the top row.
inline int colourIndex(int levelIndex, int edge, int x, int y) {
    return (x * 4 / edge + (y * 4 / edge) * 4 + levelIndex * 5) % 16;
}

enum class Form { Pal8, Pal8Record, Rgb565, Argb4444, Bgra32, Rgb24Plain };

inline bool formHasAlpha(Form f) { return f != Form::Rgb565 && f != Form::Rgb24Plain; }
inline bool formHasRecord(Form f) { return f == Form::Pal8Record || f == Form::Rgb565 || f == Form::Argb4444; }
inline int formBytes(Form f) {
    return f <= Form::Pal8Record ? 1 : f == Form::Rgb24Plain ? 3 : f == Form::Bgra32 ? 4 : 2;
}

inline const std::array<uint8_t, 12> kRecordData{1, 2, 3, 4, 5, 6, 8, 0, 250, 9, 10, 11};

inline void putRecord(Bytes& b, size_t at) {
    b[at] = 'A';
    b[at + 1] = 'V';
    b[at + 2] = 'T';
    b[at + 3] = 'X';
    write32(b, at + 4, 20);
    std::copy(kRecordData.begin(), kRecordData.end(), b.begin() + std::ptrdiff_t(at + 8));
}

inline Bytes makeSource(Form form, int edge) {
    const int bpp = formBytes(form);
    int header = 54;
    if (form == Form::Pal8) header = 1078;
    if (form == Form::Pal8Record) header = 1098;
    if (form == Form::Rgb565 || form == Form::Argb4444) header = 86;
    // The plain BMP holds the largest level only (and its edges here need no padding).
    const int64_t pixels = form == Form::Rgb24Plain ? int64_t(edge) * edge : chainPixels(edge);
    Bytes b(size_t(header + pixels * bpp), 0);
    b[0] = 'B';
    b[1] = 'M';
    write32(b, kFileSizeAt, uint32_t(b.size()));
    write32(b, kPixelOffsetAt, uint32_t(header));
    write32(b, kInfoLengthAt, 40);
    write32(b, kWidthAt, uint32_t(edge));
    write32(b, kHeightAt, uint32_t(edge));
    write16(b, 26, 1);
    write16(b, kBitsAt, uint16_t(bpp * 8));
    if (bpp == 1) {
        for (size_t i = 0; i < 16; ++i) {
            const Rgba& c = kColours[i];
            b[54 + 4 * i] = uint8_t(c.b);
            b[55 + 4 * i] = uint8_t(c.g);
            b[56 + 4 * i] = uint8_t(c.r);
            b[57 + 4 * i] = uint8_t(c.a);
        }
        if (form == Form::Pal8Record) putRecord(b, 1078);
    }
    if (bpp == 2) {
        write32(b, kCompressionAt, 3);
        write32(b, 54, form == Form::Argb4444 ? 0x0F00 : 0xF800);
        write32(b, 58, form == Form::Argb4444 ? 0x00F0 : 0x07E0);
        write32(b, 62, form == Form::Argb4444 ? 0x000F : 0x001F);
        putRecord(b, 66);
    }
    size_t at = size_t(header);
    int levelIndex = 0;
    for (int e = edge; e >= 1 && at < b.size(); e /= 2, ++levelIndex) {
        for (int y = e - 1; y >= 0; --y) {
            for (int x = 0; x < e; ++x, at += size_t(bpp)) {
                const int index = colourIndex(levelIndex, e, x, y);
                const Rgba& c = kColours[size_t(index)];
                uint8_t* p = b.data() + at;
                switch (form) {
                    case Form::Pal8:
                    case Form::Pal8Record:
                        p[0] = uint8_t(index);
                        break;
                    case Form::Rgb565:
                        write16(b, at, uint16_t((c.b >> 3) | ((c.g << 3) & 0x07E0) | ((c.r << 8) & 0xF800)));
                        break;
                    case Form::Argb4444:
                        write16(b, at, uint16_t((c.a >> 4) << 12 | (c.r >> 4) << 8 | (c.g >> 4) << 4 | c.b >> 4));
                        break;
                    case Form::Bgra32:
                        p[3] = uint8_t(c.a);
                        [[fallthrough]];
                    case Form::Rgb24Plain:
                        p[0] = uint8_t(c.b);
                        p[1] = uint8_t(c.g);
                        p[2] = uint8_t(c.r);
                        break;
                }
            }
        }
    }
    return b;
}

inline int targetBytes(corvane::SetDepth t) {
    return t == corvane::SetDepth::Palette8 ? 1 : t == corvane::SetDepth::Argb32 ? 4 : 2;
}

// The pixel at (x, y) of level `edge` in a file the tool wrote, read with the
// layout's offsets and the depth's own bit positions.
inline Rgba pixelOf(const Bytes& b, corvane::SetDepth t, int largest, int edge, int x, int y) {
    const int bpp = targetBytes(t);
    const int64_t header = read32(b, kPixelOffsetAt);
    const size_t at = size_t(levelStart(largest, edge, bpp, header) + (int64_t(edge - 1 - y) * edge + x) * bpp);
    const auto five = [](int v) { return v << 3 | v >> 2; };
    const auto six = [](int v) { return v << 2 | v >> 4; };
    const uint16_t w = read16(b, at);
    switch (t.form()) {
        case corvane::SetDepth::Palette8: {
            const size_t entry = 54 + 4 * size_t(b[at]);
            // A palette whose levels are all 0 has no transparency.
            bool levels = false;
            for (size_t i = 0; i < 256; ++i) levels |= b[57 + 4 * i] != 0;
            return {b[entry + 2], b[entry + 1], b[entry], levels ? b[entry + 3] : 255};
        }
        case corvane::SetDepth::Rgb565:
            return {five(w >> 11), six((w >> 5) & 63), five(w & 31), 255};
        case corvane::SetDepth::Argb4444:
            return {((w >> 8) & 15) * 17, ((w >> 4) & 15) * 17, (w & 15) * 17, (w >> 12) * 17};
        case corvane::SetDepth::Argb32:
            return {b[at + 2], b[at + 1], b[at], b[at + 3]};
        case corvane::SetDepth::Rgb24:
            break;
    }
    return {};
}

}  // namespace xbmtest
