// A small, independent BMP reader for the measuring helpers: a plain BMP of
// 8, 16, 24 or 32 bits (palette, bit fields, any information header), or an
// Extended Bitmap with its chain of levels.  It deliberately shares no code
// with the library it checks.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <optional>
#include <string>
#include <vector>

namespace corvane::bench {

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
};

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<Rgb> pixels;  // row by row; the order of rows does not matter here
};

struct BmpFile {
    std::vector<uint8_t> bytes;
    int width = 0;
    int height = 0;  // always positive
    bool topDown = false;
    int bits = 0;
    uint32_t compression = 0;
    uint32_t pixelOffset = 0;
    std::array<uint32_t, 3> masks{};  // red, green, blue for 16 and 32 bits
    std::vector<Rgb> palette;

    uint32_t u32(size_t at) const {
        return at + 4 <= bytes.size() ? uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 |
                                            uint32_t(bytes[at + 2]) << 16 | uint32_t(bytes[at + 3]) << 24
                                      : 0;
    }
    uint16_t u16(size_t at) const { return at + 2 <= bytes.size() ? uint16_t(bytes[at] | bytes[at + 1] << 8) : 0; }

    int bytesPerPixel() const { return bits / 8; }

    // One pixel at a byte position.
    Rgb at(size_t p) const {
        if (bits == 8) return bytes[p] < palette.size() ? palette[bytes[p]] : Rgb{};
        if (bits == 24) return {bytes[p + 2], bytes[p + 1], bytes[p]};
        const uint32_t v = bits == 16 ? u16(p) : u32(p);
        return {channel(v, masks[0]), channel(v, masks[1]), channel(v, masks[2])};
    }

    // A picture of w x h whose rows are `stride` bytes apart from `start`,
    // read top row first.
    std::optional<Picture> picture(size_t start, int w, int h, size_t stride) const {
        const size_t rowBytes = size_t(w) * size_t(bytesPerPixel());
        if (start + stride * size_t(h - 1) + rowBytes > bytes.size()) return std::nullopt;
        Picture out{w, h, {}};
        out.pixels.reserve(size_t(w) * size_t(h));
        for (int y = 0; y < h; ++y) {
            const size_t row = start + stride * size_t(topDown ? y : h - 1 - y);
            for (int x = 0; x < w; ++x) out.pixels.push_back(at(row + size_t(x) * size_t(bytesPerPixel())));
        }
        return out;
    }

    // The picture as a plain BMP stores it, rows padded to four bytes.
    std::optional<Picture> plain() const {
        return picture(pixelOffset, width, height, (size_t(width) * size_t(bits) + 31) / 32 * 4);
    }

    // Levels of an Extended Bitmap: the largest first, each level's rows
    // packed one after another with no padding, down to 1x1.  Only the levels
    // the file holds completely.
    std::vector<Picture> chain() const {
        std::vector<Picture> levels;
        size_t start = pixelOffset;
        for (int edge = width; edge >= 1; edge /= 2) {
            const size_t row = size_t(edge) * size_t(bytesPerPixel());
            auto level = picture(start, edge, edge, row);
            if (!level) break;
            levels.push_back(std::move(*level));
            start += row * size_t(edge);
        }
        return levels;
    }

private:
    static uint8_t channel(uint32_t v, uint32_t mask) {
        if (!mask) return 0;
        const int shift = std::countr_zero(mask);
        const uint32_t max = mask >> shift;
        return uint8_t((((v & mask) >> shift) * 255u + max / 2) / max);
    }
};

inline std::optional<BmpFile> readBmp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    BmpFile f;
    f.bytes.assign(std::istreambuf_iterator<char>(in), {});
    if (f.bytes.size() < 54 || f.bytes[0] != 'B' || f.bytes[1] != 'M') return std::nullopt;
    const uint32_t info = f.u32(14);
    f.pixelOffset = f.u32(10);
    f.width = int(int32_t(f.u32(18)));
    f.height = std::abs(int(int32_t(f.u32(22))));
    f.topDown = int32_t(f.u32(22)) < 0;
    f.bits = f.u16(28);
    f.compression = f.u32(30);
    if (f.width <= 0 || f.height <= 0 || f.width > 65536 || f.height > 65536) return std::nullopt;
    if (f.bits != 8 && f.bits != 16 && f.bits != 24 && f.bits != 32) return std::nullopt;
    if (f.compression != 0 && f.compression != 3) return std::nullopt;
    if (f.bits == 8) {
        uint32_t used = f.u32(46);
        if (used == 0 || used > 256) used = 256;
        for (uint32_t i = 0; i < used; ++i) {
            const size_t p = 14 + info + 4 * i;
            if (p + 3 > f.bytes.size()) break;
            f.palette.push_back({f.bytes[p + 2], f.bytes[p + 1], f.bytes[p]});
        }
    } else if (f.compression == 3) {
        // The masks follow a 40-byte header and sit at the same place inside a larger one.
        f.masks = {f.u32(54), f.u32(58), f.u32(62)};
    } else if (f.bits == 16) {
        f.masks = {0x7C00, 0x03E0, 0x001F};
    } else if (f.bits == 32) {
        f.masks = {0x00FF0000, 0x0000FF00, 0x000000FF};
    }
    return f;
}

// Linear light of an sRGB byte.
inline const std::array<double, 256>& linearTable() {
    static const std::array<double, 256> table = [] {
        std::array<double, 256> t{};
        for (int i = 0; i < 256; ++i) {
            const double c = i / 255.0;
            t[size_t(i)] = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        }
        return t;
    }();
    return table;
}

// Mean relative luminance (linear light, Rec. 709 weights), 0..1.
inline double meanLuminance(const Picture& p) {
    const auto& lin = linearTable();
    double sum = 0;
    for (const Rgb& c : p.pixels) sum += 0.2126 * lin[c.r] + 0.7152 * lin[c.g] + 0.0722 * lin[c.b];
    return p.pixels.empty() ? 0 : sum / double(p.pixels.size());
}

// The mean of each colour channel in linear light: red, green, blue.
inline std::array<double, 3> meanChannels(const Picture& p) {
    const auto& lin = linearTable();
    std::array<double, 3> sum{};
    for (const Rgb& c : p.pixels) {
        sum[0] += lin[c.r];
        sum[1] += lin[c.g];
        sum[2] += lin[c.b];
    }
    if (!p.pixels.empty())
        for (double& s : sum) s /= double(p.pixels.size());
    return sum;
}

// Peak signal-to-noise ratio over the three colour channels, in dB.
inline std::optional<double> psnr(const Picture& a, const Picture& b) {
    if (a.width != b.width || a.height != b.height || a.pixels.size() != b.pixels.size()) return std::nullopt;
    double sum = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i) {
        const double dr = a.pixels[i].r - b.pixels[i].r, dg = a.pixels[i].g - b.pixels[i].g,
                     db = a.pixels[i].b - b.pixels[i].b;
        sum += dr * dr + dg * dg + db * db;
    }
    const double mse = sum / (3.0 * double(a.pixels.size()));
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace corvane::bench
