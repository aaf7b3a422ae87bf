// Helpers for the image library's tests: scratch folders, whole-file I/O and
// a BMP writer that spells out the layout independently of the codec.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace testbmp {

using Bytes = std::vector<uint8_t>;

// A fresh folder under the test temp dir, removed again afterwards.
class ScratchDir {
public:
    ScratchDir() {
        static std::atomic<int> counter{0};
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "quorimg-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        if (info) name += std::string("-") + info->name();
        for (char& c : name)
            if (c == '/') c = '_';
        path_ = std::filesystem::path(::testing::TempDir()) / name;
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }
    size_t entries() const {
        size_t n = 0;
        for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(path_)) ++n;
        return n;
    }

private:
    std::filesystem::path path_;
};

inline Bytes readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void writeAll(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline void put16(Bytes& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
inline void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}
inline uint32_t get32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
inline int32_t get32(const uint8_t* p) {
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

// What goes into a hand-made BMP.  Pixel rows are given in file order,
// unpadded; `padRows` decides whether the writer pads them to four bytes.
// Every member has an initializer, so a designated list may leave any out.
struct Spec {
    int32_t width = 1;
    int32_t height = 1;  // negative: rows top-down
    uint16_t bpp = 24;
    uint32_t compression = 0;
    uint32_t infoSize = 40;
    std::vector<uint32_t> masks{};                  // inside a header of 52+ bytes, else after it
    std::vector<std::array<uint8_t, 4>> palette{};  // blue, green, red, fourth byte
    uint32_t coloursUsed = 0;
    Bytes gap{};  // e.g. a 20-byte record before the pixels
    std::vector<Bytes> rows{};
    bool padRows = true;
    Bytes trailer{};  // e.g. the smaller levels of an Extended Bitmap
};

inline Bytes make(const Spec& s) {
    Bytes b(std::max<size_t>(54, 14 + s.infoSize), 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 14, s.infoSize);
    put32(b, 18, uint32_t(s.width));
    put32(b, 22, uint32_t(s.height));
    put16(b, 26, 1);
    put16(b, 28, s.bpp);
    put32(b, 30, s.compression);
    put32(b, 46, s.coloursUsed);
    b.resize(14 + s.infoSize);  // an OS/2 header is shorter than the fields above
    for (size_t i = 0; i < s.masks.size(); ++i) {
        if (s.infoSize >= 52) {
            put32(b, 54 + 4 * i, s.masks[i]);
        } else {
            b.resize(b.size() + 4);
            put32(b, b.size() - 4, s.masks[i]);
        }
    }
    for (const auto& e : s.palette) b.insert(b.end(), e.begin(), e.end());
    b.insert(b.end(), s.gap.begin(), s.gap.end());
    put32(b, 10, uint32_t(b.size()));
    const size_t start = b.size();
    for (const Bytes& row : s.rows) {
        b.insert(b.end(), row.begin(), row.end());
        if (s.padRows)
            while ((b.size() - start) % 4) b.push_back(0);
    }
    put32(b, 34, uint32_t(b.size() - start));
    b.insert(b.end(), s.trailer.begin(), s.trailer.end());
    put32(b, 2, uint32_t(b.size()));
    return b;
}

// A grey ramp palette whose fourth bytes are `level(i)`.
inline std::vector<std::array<uint8_t, 4>> greyPalette(uint8_t (*level)(int) = nullptr) {
    std::vector<std::array<uint8_t, 4>> p(256);
    for (int i = 0; i < 256; ++i) p[size_t(i)] = {uint8_t(i), uint8_t(i), uint8_t(i), level ? level(i) : uint8_t(0)};
    return p;
}

// A 24-bit picture from a function of (x, y) giving 0xRRGGBB, top row first.
template <typename Colour>
Bytes make24(int32_t w, int32_t h, Colour colour) {
    Spec s;
    s.width = w;
    s.height = h;
    for (int32_t r = 0; r < h; ++r) {
        const int32_t y = h - 1 - r;
        Bytes row;
        for (int32_t x = 0; x < w; ++x) {
            const uint32_t c = colour(x, y);
            row.insert(row.end(), {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16)});
        }
        s.rows.push_back(row);
    }
    return make(s);
}

// An 8-bit picture with a grey palette whose fourth bytes are i ^ 0x5A, so
// that a lost or reordered fourth byte shows.
template <typename Index>
Bytes make8(int32_t w, int32_t h, Index index) {
    Spec s;
    s.width = w;
    s.height = h;
    s.bpp = 8;
    s.palette = greyPalette([](int i) { return uint8_t(i ^ 0x5A); });
    for (int32_t r = 0; r < h; ++r) {
        Bytes row;
        for (int32_t x = 0; x < w; ++x) row.push_back(uint8_t(index(x, h - 1 - r)));
        s.rows.push_back(row);
    }
    return make(s);
}

}  // namespace testbmp
