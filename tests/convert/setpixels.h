// The pixels of a saved Extended Bitmap, read the plain way for the tests:
// header, then every level bottom row first without padding, each 16-bit
// code widened by scaling.  Deliberately not the program's own reader.
#pragma once

#include "layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

namespace corvane::testing {

struct Rgba {
    uint8_t r = 0, g = 0, b = 0, a = 255;
    bool operator<(const Rgba& o) const { return std::tie(r, g, b, a) < std::tie(o.r, o.g, o.b, o.a); }
    bool operator==(const Rgba& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
};

struct Picture {
    int edge = 0;
    std::vector<Rgba> texels;  // top row first
    Rgba& at(int x, int y) { return texels[size_t(y) * size_t(edge) + size_t(x)]; }
    const Rgba& at(int x, int y) const { return texels[size_t(y) * size_t(edge) + size_t(x)]; }
};

inline double linear(uint8_t v) {
    const double c = v / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

// A level of a saved set: its texels and, for 16-bit sets, the pixel words.
struct Level {
    Picture picture;
    std::vector<uint16_t> words;
};

inline int widen(int code, int bits) {
    const int steps = (1 << bits) - 1;
    return (code * 255 + steps / 2) / steps;
}

// The saved file read the plain way: header, then every level bottom row
// first, no padding.
inline std::vector<Level> readSet(const std::vector<uint8_t>& f) {
    const auto u32 = [&](size_t at) { return layout::read32(f, at); };
    const int edge = int(u32(18));
    const int bits = f[28];
    const size_t start = u32(10);
    std::vector<Level> levels;
    size_t at = start;
    bool paletteLevels = false;
    for (int i = 0; bits == 8 && i < 256; ++i) paletteLevels |= f[size_t(57 + 4 * i)] != 0;
    const bool is4444 = bits == 16 && f[55] == 0x0F;
    for (int e = edge; e >= 1; e /= 2) {
        Level level;
        level.picture.edge = e;
        level.picture.texels.resize(size_t(e) * size_t(e));
        for (int row = 0; row < e; ++row)
            for (int x = 0; x < e; ++x) {
                Rgba& t = level.picture.at(x, e - 1 - row);
                if (bits == 8) {
                    const size_t entry = 54 + 4 * size_t(f.at(at));
                    t = {f[entry + 2], f[entry + 1], f[entry], paletteLevels ? f[entry + 3] : uint8_t(255)};
                    at += 1;
                } else if (bits == 16) {
                    const uint16_t w = uint16_t(f.at(at) | f.at(at + 1) << 8);
                    level.words.push_back(w);
                    if (is4444)
                        t = {uint8_t(widen(w >> 8 & 15, 4)), uint8_t(widen(w >> 4 & 15, 4)), uint8_t(widen(w & 15, 4)),
                             uint8_t(widen(w >> 12, 4))};
                    else
                        t = {uint8_t(widen(w >> 11, 5)), uint8_t(widen(w >> 5 & 63, 6)), uint8_t(widen(w & 31, 5)),
                             255};
                    at += 2;
                } else {
                    t = {f.at(at + 2), f.at(at + 1), f.at(at), bits == 32 ? f.at(at + 3) : uint8_t(255)};
                    at += size_t(bits / 8);
                }
            }
        levels.push_back(std::move(level));
    }
    EXPECT_EQ(at, f.size()) << "the set's file holds more or less than its levels";
    return levels;
}

}  // namespace corvane::testing
