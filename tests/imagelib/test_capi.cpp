// The exported routines as the program calls them: files in, files out,
// the conversion context and the progress routine.
#include "image.h"
#include "quorimg.h"
#include "srgb.h"
#include "testbmp.h"

#include <Magick++.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>

using namespace testbmp;

namespace {

struct Context : QuorContext {
    Context() { std::memset(bytes, 0, sizeof bytes); }
    int32_t width() const { return get32(bytes + QUOR_CONTEXT_WIDTH); }
    int32_t height() const { return get32(bytes + QUOR_CONTEXT_HEIGHT); }
    int32_t bpp() const { return get32(bytes + QUOR_CONTEXT_BPP); }
    void setProgress(QuorProgress routine) { std::memcpy(bytes + QUOR_CONTEXT_PROGRESS, &routine, sizeof routine); }
};

std::vector<std::pair<int32_t, int32_t>> progressCalls;
void recordProgress(int32_t done, int32_t total) { progressCalls.emplace_back(done, total); }

Bytes palette(const Bytes& bmp) { return Bytes(bmp.begin() + 54, bmp.begin() + 1078); }
Bytes from54(const Bytes& bmp) { return Bytes(bmp.begin() + 54, bmp.end()); }

// Every file of an 8-bit result is laid out as the program relies on.
void expectEightBit(const Bytes& file, int32_t w, int32_t h) {
    ASSERT_GE(file.size(), 1078u);
    EXPECT_EQ(file[28], 8);
    EXPECT_EQ(get32(file, 2), file.size());
    EXPECT_EQ(get32(file, 10), 1078u);
    EXPECT_EQ(get32(file, 18), uint32_t(w));
    EXPECT_EQ(get32(file, 22), uint32_t(h));
    EXPECT_EQ(file.size(), 1078u + ((size_t(w) + 3) & ~size_t(3)) * size_t(h));
}

}  // namespace

TEST(Context, CheckbmpWritesSizeAndDepthAtTheirOffsetsOnly) {
    ScratchDir dir;
    const std::string file = dir.file("a.bmp");
    writeAll(file, make24(300, 7, [](int, int) { return 0u; }));
    Context c;
    std::memset(c.bytes, 0xEE, sizeof c.bytes);
    c.setProgress(nullptr);
    ASSERT_NE(_checkbmp(file.c_str(), &c), 0);
    EXPECT_EQ(c.width(), 300);
    EXPECT_EQ(c.height(), 7);
    EXPECT_EQ(c.bpp(), 24);
    for (size_t i = 12; i < sizeof c.bytes; ++i)
        if (i < QUOR_CONTEXT_PROGRESS || i >= QUOR_CONTEXT_PROGRESS + sizeof(void*)) {
            ASSERT_EQ(c.bytes[i], 0xEE) << i;
        }

    // Depth as stored, also for files that convert to something else.
    Spec s16;
    s16.width = 3;
    s16.height = -5;
    s16.bpp = 16;
    s16.rows.assign(5, Bytes(6, 0));
    writeAll(file, make(s16));
    ASSERT_NE(_checkbmp(file.c_str(), &c), 0);
    EXPECT_EQ(c.height(), 5);
    EXPECT_EQ(c.bpp(), 16);
}

TEST(Anytobmps, PaletteSourcesStayEightBitOthersBecomeTwentyFour) {
    ScratchDir dir;
    const std::string src = dir.file("src.bmp"), dst = dir.file("dst.bmp");
    const Bytes eight = make8(5, 3, [](int x, int y) { return x * 40 + y; });
    writeAll(src, eight);
    Context c;
    ASSERT_NE(_anytobmps(src.c_str(), dst.c_str(), &c, 0, 0), 0);
    const Bytes out = readAll(dst);
    expectEightBit(out, 5, 3);
    EXPECT_EQ(palette(out), palette(eight));
    EXPECT_EQ(c.bpp(), 8);

    Spec s32;
    s32.width = 2;
    s32.height = 2;
    s32.bpp = 32;
    s32.rows = {{1, 2, 3, 0, 4, 5, 6, 0}, {7, 8, 9, 0, 10, 11, 12, 0}};
    writeAll(src, make(s32));
    ASSERT_NE(_anytobmps(src.c_str(), dst.c_str(), &c, 0, 0), 0);
    const Bytes expected =
        make24(2, 2, [](int x, int y) { return y ? (x ? 0x060504u : 0x030201u) : (x ? 0x0C0B0Au : 0x090807u); });
    const Bytes written = readAll(dst);
    EXPECT_EQ(get32(written, 10), 54u);
    EXPECT_EQ(from54(written), from54(expected));
    EXPECT_EQ(c.bpp(), 24);
    EXPECT_EQ(c.width(), 2);
}

TEST(Anytobmps, AFileConvertedOntoItselfIsRewrittenOnlyWhenItWouldChange) {
    // Commands convert the scratch slot onto itself; a file that already is
    // what would be written stays as it is (same file, same time), any other
    // is rewritten in the plain layout.
    ScratchDir dir;
    const std::string file = dir.file("self.bmp");
    quor::Image picture;
    picture.width = 4;
    picture.height = 3;
    picture.rgba.assign(48, 200);
    const Bytes plain = quor::encodeBmp24(picture);
    writeAll(file, plain);
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    Context c;
    ASSERT_NE(_anytobmps(file.c_str(), file.c_str(), &c, 0, 0), 0);
    ASSERT_NE(_bmpresize(file.c_str(), file.c_str(), &c, 4, 3), 0);
    EXPECT_EQ(c.width(), 4);
    EXPECT_EQ(c.bpp(), 24);
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(readAll(file), plain);

    // The same picture with another header value, or with bytes in the
    // padding of its rows.
    Bytes odd = plain;
    odd[38] = 1;  // horizontal resolution
    picture.width = 5;
    picture.height = 2;
    picture.rgba.assign(40, 90);
    Bytes padded = quor::encodeBmp24(picture);
    padded[54 + 15] = 7;  // a 5-pixel row is 15 bytes and one of padding
    for (const Bytes& variant : {odd, padded}) {
        writeAll(file, variant);
        ASSERT_NE(_anytobmps(file.c_str(), file.c_str(), &c, 0, 0), 0);
        const Bytes rewritten = readAll(file);
        EXPECT_NE(rewritten, variant);
        EXPECT_TRUE(quor::isOwnEncoding(rewritten.data(), rewritten.size(), *quor::loadImage(file)));
    }
}

TEST(Anyto256, QuantizesFullColourAndKeepsPalettePictures) {
    ScratchDir dir;
    const std::string src = dir.file("src.bmp"), dst = dir.file("dst.bmp");
    writeAll(src, make24(64, 64, [](int x, int y) { return uint32_t(x * 4 << 16 | y * 4 << 8 | (x ^ y)); }));
    Context c;
    ASSERT_NE(_anyto256(src.c_str(), dst.c_str(), &c, 0, 0), 0);
    expectEightBit(readAll(dst), 64, 64);
    EXPECT_EQ(c.bpp(), 8);

    const Bytes eight = make8(4, 4, [](int x, int) { return x; });
    writeAll(src, eight);
    ASSERT_NE(_anyto256(src.c_str(), dst.c_str(), &c, 0, 0), 0);
    EXPECT_EQ(from54(readAll(dst)), from54(eight));
}

TEST(PicValid, RefusesNothingAndGarbage) {
    ScratchDir dir;
    EXPECT_EQ(_Pic_Valid(nullptr), 0);
    EXPECT_EQ(_Pic_Valid(""), 0);
    EXPECT_EQ(_Pic_Valid(dir.file("missing.bmp").c_str()), 0);
    EXPECT_EQ(_Pic_Valid(dir.path().c_str()), 0);
    writeAll(dir.file("junk.bmp"), Bytes(300, 0x41));
    EXPECT_EQ(_Pic_Valid(dir.file("junk.bmp").c_str()), 0);
    writeAll(dir.file("ok.bmp"), make24(2, 2, [](int, int) { return 0u; }));
    EXPECT_NE(_Pic_Valid(dir.file("ok.bmp").c_str()), 0);
}

// A pipe of a file's name is no picture and no palette: every routine
// refuses it at once instead of waiting for a writer that never comes.
TEST(PicValid, APipeIsRefusedWithoutWaiting) {
    ScratchDir dir;
    const std::string pipe = dir.file("pipe.bmp"), src = dir.file("src.bmp"), dst = dir.file("dst.bmp");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    writeAll(src, make24(4, 4, [](int x, int y) { return uint32_t(0x102030 * (x + y)); }));
    Context c;
    EXPECT_EQ(_Pic_Valid(pipe.c_str()), 0);
    EXPECT_EQ(_checkbmp(pipe.c_str(), &c), 0);
    EXPECT_EQ(_anytobmps(pipe.c_str(), dst.c_str(), &c, 0, 0), 0);
    EXPECT_EQ(_bmpresize(pipe.c_str(), dst.c_str(), &c, 2, 2), 0);
    EXPECT_EQ(_bmpremap(src.c_str(), dst.c_str(), &c, pipe.c_str()), 0);
    EXPECT_FALSE(quor::readFile(pipe, 1 << 20).has_value());
}

TEST(Bmpresize, EightBitKeepsItsPaletteBytesAndFlatColour) {
    ScratchDir dir;
    const std::string file = dir.file("level.bmp");
    const Bytes source = make8(64, 64, [](int, int) { return 77; });
    writeAll(file, source);
    Context c;
    for (int edge : {32, 1, 100}) {
        // Source and destination are one file, as in the program's imports.
        writeAll(file, source);
        ASSERT_NE(_bmpresize(file.c_str(), file.c_str(), &c, edge, edge), 0);
        const Bytes out = readAll(file);
        expectEightBit(out, edge, edge);
        EXPECT_EQ(palette(out), palette(source));
        for (int y = 0; y < edge; ++y)
            for (int x = 0; x < edge; ++x)
                ASSERT_EQ(out[1078 + size_t(y) * ((size_t(edge) + 3) & ~3u) + size_t(x)], 77);
        EXPECT_EQ(c.width(), edge);
        EXPECT_EQ(c.bpp(), 8);
    }
}

TEST(Bmpresize, EightBitPixelsTakeTheEntryNearestTheResampledColour) {
    ScratchDir dir;
    const std::string src = dir.file("src.bmp"), dst = dir.file("dst.bmp");
    Spec s;
    s.width = 2;
    s.height = 1;
    s.bpp = 8;
    s.palette = {{0, 0, 0, 0}, {255, 255, 255, 0}, {180, 180, 180, 0}, {128, 128, 128, 0}};
    s.rows = {{0, 1}};
    writeAll(src, make(s));
    Context c;
    ASSERT_NE(_bmpresize(src.c_str(), dst.c_str(), &c, 1, 1), 0);
    // Black and white average to 188 in linear light: the 180 entry.
    EXPECT_EQ(readAll(dst).at(1078), 2);
}

TEST(Bmpresize, TransparencyLevelsKeepOpaqueAndTransparentApart) {
    ScratchDir dir;
    const std::string src = dir.file("src.bmp"), dst = dir.file("dst.bmp");
    Spec s;
    s.width = 8;
    s.height = 2;
    s.bpp = 8;
    s.palette = {{0, 0, 0, 0}, {255, 255, 255, 255}, {0, 0, 0, 255}};  // black twice: transparent, opaque
    s.rows.assign(2, Bytes{2, 2, 2, 2, 0, 0, 0, 0});
    writeAll(src, make(s));
    Context c;
    ASSERT_NE(_bmpresize(src.c_str(), dst.c_str(), &c, 4, 1), 0);
    const Bytes out = readAll(dst);
    EXPECT_EQ((Bytes(out.begin() + 1078, out.end())), (Bytes{2, 2, 0, 0}));
}

TEST(Bmpresize, ASourceRewrittenInPlaceIsReadAgain) {
    // The last source is kept between calls; a file changed under the same
    // name, size and even modification time must not be served from it.
    ScratchDir dir;
    const std::string src = dir.file("src.bmp"), dst = dir.file("dst.bmp");
    writeAll(src, make24(16, 16, [](int, int) { return 0xFF0000u; }));
    Context c;
    ASSERT_NE(_bmpresize(src.c_str(), dst.c_str(), &c, 4, 4), 0);
    EXPECT_EQ(readAll(dst).at(54 + 2), 0xFF);

    struct stat before {};
    ASSERT_EQ(::stat(src.c_str(), &before), 0);
    {
        std::ofstream rewrite(src, std::ios::binary | std::ios::in | std::ios::out);
        const Bytes green = make24(16, 16, [](int, int) { return 0x00FF00u; });
        rewrite.write(reinterpret_cast<const char*>(green.data()), std::streamsize(green.size()));
    }
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, src.c_str(), times, 0), 0);
    ASSERT_NE(_bmpresize(src.c_str(), dst.c_str(), &c, 4, 4), 0);
    const Bytes out = readAll(dst);
    EXPECT_EQ(out.at(54 + 1), 0xFF);
    EXPECT_EQ(out.at(54 + 2), 0x00);

    // And one renamed over it, as every writer here does.
    writeAll(dir.file("blue.bmp"), make24(16, 16, [](int, int) { return 0x0000FFu; }));
    ASSERT_EQ(std::rename(dir.file("blue.bmp").c_str(), src.c_str()), 0);
    ASSERT_NE(_bmpresize(src.c_str(), dst.c_str(), &c, 2, 2), 0);
    EXPECT_EQ(readAll(dst).at(54), 0xFF);
}

TEST(Bmpresize, RefusesImpossibleSizesAndLeavesTheDestination) {
    ScratchDir dir;
    const std::string src = dir.file("src.bmp"), dst = dir.file("dst.bmp");
    writeAll(src, make24(4, 4, [](int, int) { return 0x123456u; }));
    writeAll(dst, {1, 2, 3});
    Context c;
    for (auto [w, h] : {std::pair{0, 4}, {4, -1}, {8193, 4}, {4, 8193}})
        EXPECT_EQ(_bmpresize(src.c_str(), dst.c_str(), &c, w, h), 0);
    EXPECT_EQ(_bmpresize(dir.file("missing.bmp").c_str(), dst.c_str(), &c, 4, 4), 0);
    EXPECT_EQ(readAll(dst), (Bytes{1, 2, 3}));
    EXPECT_EQ(_bmpresize(src.c_str(), dir.file("no/such/folder.bmp").c_str(), &c, 4, 4), 0);
    EXPECT_EQ(dir.entries(), 2u);  // no temporary file left behind
    ASSERT_NE(_bmpresize(src.c_str(), dst.c_str(), &c, 8192, 1), 0);
    EXPECT_EQ(c.width(), 8192);
}

// A picture as ImageMagick reads it: red, green, blue, alpha, top row first.
std::vector<std::array<int, 4>> magickPixels(const std::string& file) {
    Magick::Image image(file);
    std::vector<std::array<int, 4>> out;
    const MagickCore::PixelPacket* p = image.getConstPixels(0, 0, image.columns(), image.rows());
    for (size_t i = 0; i < image.columns() * image.rows(); ++i)
        out.push_back({MagickCore::ScaleQuantumToChar(p[i].red), MagickCore::ScaleQuantumToChar(p[i].green),
                       MagickCore::ScaleQuantumToChar(p[i].blue),
                       image.matte() ? 255 - MagickCore::ScaleQuantumToChar(p[i].opacity) : 255});
    return out;
}

TEST(Alpha, KeptThroughConversionAndFullColourResampling) {
    // An RGBA PNG: a clear left strip, an alpha ramp, scattered holes.
    ScratchDir dir;
    constexpr int kEdge = 60;
    std::mt19937 random(5);
    std::vector<std::array<int, 4>> want;
    for (int y = 0; y < kEdge; ++y)
        for (int x = 0; x < kEdge; ++x) {
            const int alpha = x < 9 ? 0 : x < 30 ? (x * 31 + y * 7) % 256 : random() % 7 == 0 ? 0 : 255;
            want.push_back({int(40 + 3 * x + random() % 20), int(220 - 3 * y), int(random() % 256), alpha});
        }
    Magick::Image png(Magick::Geometry(kEdge, kEdge), Magick::Color("black"));
    png.depth(8);
    png.type(Magick::TrueColorMatteType);
    MagickCore::PixelPacket* px = png.getPixels(0, 0, kEdge, kEdge);
    for (const auto& [r, g, b, a] : want) {
        *px++ = MagickCore::PixelPacket{MagickCore::Quantum(b * 257), MagickCore::Quantum(g * 257),
                                        MagickCore::Quantum(r * 257), MagickCore::Quantum((255 - a) * 257)};
    }
    png.syncPixels();
    const std::string source = dir.file("cutout.png"), converted = dir.file("cutout.bmp");
    png.write("PNG32:" + source);

    Context c;
    ASSERT_NE(_anytobmps(source.c_str(), converted.c_str(), &c, 0, 0), 0);
    EXPECT_EQ(c.bpp(), 32);
    EXPECT_EQ(readAll(converted).at(28), 32);
    // Our reader and ImageMagick's both see the PNG's pixels, alpha and all.
    std::vector<uint8_t> rgba(kEdge * kEdge * 4);
    ASSERT_NE(_bmpreadrgba(converted.c_str(), &c, rgba.data(), int32_t(rgba.size())), 0);
    const auto seen = magickPixels(converted);
    for (size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(seen[i][3], want[i][3]) << i;
        for (size_t ch = 0; ch < 4; ++ch) ASSERT_EQ(rgba[i * 4 + ch], want[i][ch]) << i;
        if (want[i][3] != 0) {
            ASSERT_EQ(seen[i], want[i]) << i;
        }
    }

    // Every resampling path: whole halvings (30, 15), the general filter
    // above and below 256 texels (20, 12), down to one texel.  Alpha is the
    // box average of alpha, colour the box average weighted by alpha, both
    // to the rounding that small levels hand on.
    const double handedOn = quor::srgb::toLinear(255) - quor::srgb::toLinear(254);
    for (int edge : {30, 20, 15, 12, 1}) {
        SCOPED_TRACE(edge);
        const std::string level = dir.file("level.bmp");
        ASSERT_NE(_bmpresizergb(converted.c_str(), level.c_str(), &c, edge, edge, 0), 0);
        EXPECT_EQ(c.bpp(), 32);
        const auto got = magickPixels(level);
        ASSERT_EQ(got.size(), size_t(edge * edge));
        const int factor = kEdge / edge;
        for (int y = 0; y < edge; ++y)
            for (int x = 0; x < edge; ++x) {
                double light[3] = {0, 0, 0}, alpha = 0;
                for (int v = y * factor; v < (y + 1) * factor; ++v)
                    for (int u = x * factor; u < (x + 1) * factor; ++u) {
                        const auto& p = want[size_t(v * kEdge + u)];
                        for (size_t ch = 0; ch < 3; ++ch)
                            light[ch] += p[3] * double(quor::srgb::toLinear(uint8_t(p[ch])));
                        alpha += p[3];
                    }
                const auto& texel = got[size_t(y * edge + x)];
                ASSERT_NEAR(texel[3], alpha / (factor * factor), 1.0) << x << "," << y;
                if (alpha == 0) continue;
                for (size_t ch = 0; ch < 3; ++ch)
                    ASSERT_NEAR(quor::srgb::toLinear(uint8_t(texel[ch])), light[ch] / alpha, handedOn)
                        << x << "," << y << " channel " << ch;
            }
    }

    // Opaque throughout, the PNG's alpha channel notwithstanding: 24-bit.
    px = png.getPixels(0, 0, kEdge, kEdge);
    for (size_t i = 0; i < want.size(); ++i) px[i].opacity = 0;
    png.syncPixels();
    png.write("PNG32:" + source);
    ASSERT_NE(_anytobmps(source.c_str(), converted.c_str(), &c, 0, 0), 0);
    EXPECT_EQ(c.bpp(), 24);
    EXPECT_EQ(readAll(converted).at(28), 24);
}

TEST(Alpha, KeepingCoverageHoldsTheShareOfHalfOpaqueTexels) {
    // A railing whose bars thin out across it.  Averaged, its levels turn
    // translucent, and a renderer's cut-off at half opacity would show other
    // coverage than the picture's.  With the flag each level keeps the
    // source's share of texels at least half opaque, as its alphas allow.
    ScratchDir dir;
    constexpr int kEdge = 128;
    std::mt19937 random(9);
    Spec s{.width = kEdge,
           .height = kEdge,
           .bpp = 32,
           .compression = 3,
           .infoSize = 56,
           .masks = {0x00ff0000u, 0x0000ff00u, 0x000000ffu, 0xff000000u}};
    size_t covered = 0;
    for (int row = 0; row < kEdge; ++row) {
        Bytes bytes;
        for (int x = 0; x < kEdge; ++x) {
            const bool solid = int(random() % 256) < 200 - x - (kEdge - 1 - row) / 2;
            covered += solid;
            bytes.insert(bytes.end(), {90, 120, 150, uint8_t(solid ? 255 : 0)});
        }
        s.rows.push_back(bytes);
    }
    const double share = double(covered) / (kEdge * kEdge);
    const std::string source = dir.file("railing.bmp"), level = dir.file("level.bmp");
    writeAll(source, make(s));
    Context c;
    const auto shareOf = [](const std::vector<std::array<int, 4>>& pixels) {
        return double(std::count_if(pixels.begin(), pixels.end(), [](const auto& p) { return p[3] >= 128; })) /
               double(pixels.size());
    };
    for (int edge : {16, 8}) {
        // Texels of one alpha cross the threshold together: the share can
        // miss by the most texels that have one alpha.
        ASSERT_NE(_bmpresizergb(source.c_str(), level.c_str(), &c, edge, edge, 0), 0);
        std::array<int, 256> ofAlpha{};
        for (const auto& p : magickPixels(level)) ++ofAlpha[size_t(p[3])];
        const double step = double(*std::max_element(ofAlpha.begin() + 1, ofAlpha.end())) / (edge * edge);
        ASSERT_GT(std::abs(shareOf(magickPixels(level)) - share), step) << edge << ": the share is already kept";
        ASSERT_NE(_bmpresizergb(source.c_str(), level.c_str(), &c, edge, edge, QUOR_KEEP_COVERAGE), 0);
        EXPECT_NEAR(shareOf(magickPixels(level)), share, step) << edge;
    }
    // Flags the routine does not know are refused.
    writeAll(level, {1, 2, 3});
    EXPECT_EQ(_bmpresizergb(source.c_str(), level.c_str(), &c, 8, 8, 8), 0);
    EXPECT_EQ(readAll(level), (Bytes{1, 2, 3}));
}

TEST(Bmpremapused, OnlyTheColoursThePaletteFilesPixelsUse) {
    // White with a red and a navy stripe, on a palette whose other 253
    // entries are black: dithered onto the whole palette, a level would take
    // black specks; onto the used entries it holds the picture's colours only.
    ScratchDir dir;
    const std::array<uint8_t, 4> white{255, 255, 255, 0}, red{0, 0, 255, 0}, navy{128, 0, 0, 0};  // blue, green, red
    Spec s;
    s.width = s.height = 256;
    s.bpp = 8;
    s.palette.assign(256, {0, 0, 0, 0});
    s.palette[7] = white, s.palette[100] = red, s.palette[201] = navy;
    const auto indexAt = [](int x) { return x >= 43 && x < 129 ? 100 : x >= 172 ? 201 : 7; };
    for (int row = 0; row < 256; ++row) {
        Bytes bytes;
        for (int x = 0; x < 256; ++x) bytes.push_back(uint8_t(indexAt(x)));
        s.rows.push_back(bytes);
    }
    const Bytes picture = make(s);
    const std::string source = dir.file("stripes.bmp"), level = dir.file("level.bmp");
    writeAll(source, picture);

    // The mean in light, and the used entry nearest it.
    double mean[3] = {0, 0, 0};
    for (int x = 0; x < 256; ++x)
        for (size_t ch = 0; ch < 3; ++ch) mean[ch] += quor::srgb::toLinear(s.palette[size_t(indexAt(x))][2 - ch]) / 256;
    int nearest = -1;
    double nearestDistance = INFINITY;
    for (int entry : {7, 100, 201}) {
        double d = 0;
        for (size_t ch = 0; ch < 3; ++ch)
            d += std::pow(quor::srgb::toLinear(s.palette[size_t(entry)][2 - ch]) - mean[ch], 2);
        if (d < nearestDistance) nearestDistance = d, nearest = entry;
    }

    Context c;
    for (int edge = 128; edge >= 1; edge /= 2) {
        SCOPED_TRACE(edge);
        ASSERT_NE(_bmpresizergb(source.c_str(), level.c_str(), &c, edge, edge, 0), 0);
        EXPECT_EQ(c.bpp(), 24);
        ASSERT_NE(_bmpremapused(level.c_str(), level.c_str(), &c, source.c_str()), 0);
        const Bytes out = readAll(level);
        expectEightBit(out, edge, edge);
        EXPECT_EQ(palette(out), palette(picture));
        const size_t row = (size_t(edge) + 3) & ~size_t(3);
        for (int y = 0; y < edge; ++y)
            for (int x = 0; x < edge; ++x) {
                const int index = out[1078 + size_t(y) * row + size_t(x)];
                ASSERT_TRUE(index == 7 || index == 100 || index == 201) << index << " at " << x << "," << y;
            }
        if (edge == 1) {
            EXPECT_EQ(out[1078], nearest);
        }
    }

    // A palette file must have pixels to say which entries they use.
    const std::string header = dir.file("header.bmp");
    writeAll(header, Bytes(picture.begin(), picture.begin() + 1078));
    writeAll(level, {4});
    EXPECT_EQ(_bmpremapused(source.c_str(), level.c_str(), &c, header.c_str()), 0);
    EXPECT_EQ(readAll(level), Bytes{4});
}

TEST(Bmpremap, OntoAPaletteOnlyFile) {
    ScratchDir dir;
    const std::string src = dir.file("src.bmp"), dst = dir.file("dst.bmp"), pal = dir.file("header.bmp");
    Bytes header = make8(256, 1, [](int x, int) { return x; });
    for (size_t record : {0u, 20u}) {
        header.resize(1078 + record, 'R');  // headers, palette and perhaps a 20-byte record
        writeAll(pal, header);
        writeAll(src, make24(16, 16, [](int x, int y) { return uint32_t(0x010101 * (x * 16 + y)); }));
        Context c;
        ASSERT_NE(_bmpremap(src.c_str(), dst.c_str(), &c, pal.c_str()), 0);
        const Bytes out = readAll(dst);
        expectEightBit(out, 16, 16);
        EXPECT_EQ(palette(out), palette(header));
        // Grey levels that the grey palette holds exactly map onto themselves.
        EXPECT_EQ(out[1078 + 15 * 16 + 3], 3 * 16);
    }
    header.resize(1077);
    writeAll(pal, header);
    writeAll(dst, {9});
    Context c;
    EXPECT_EQ(_bmpremap(src.c_str(), dst.c_str(), &c, pal.c_str()), 0);
    EXPECT_EQ(readAll(dst), Bytes{9});
}

TEST(Bmprocess, FiltersGiveFullColourOthersCopyAndFail) {
    ScratchDir dir;
    const std::string src = dir.file("src.bmp"), dst = dir.file("dst.bmp");
    const Bytes eight = make8(8, 8, [](int x, int y) { return x * y; });
    writeAll(src, eight);
    Context c;
    for (int filter : {101, 5}) {
        // The palette's transparency levels are alpha, which the filters keep.
        ASSERT_NE(_bmprocess(src.c_str(), dst.c_str(), &c, filter), 0);
        const Bytes out = readAll(dst);
        EXPECT_EQ(out[28], 32);
        EXPECT_EQ(c.bpp(), 32);
    }
    writeAll(dst, {1});
    EXPECT_EQ(_bmprocess(src.c_str(), dst.c_str(), &c, 7), 0);
    EXPECT_EQ(readAll(dst), eight);
    EXPECT_EQ(_bmprocess(src.c_str(), src.c_str(), &c, 7), 0);
    EXPECT_EQ(readAll(src), eight);
}

TEST(Bmpprocess, LighteningInPlaceBrightensAndDarkens) {
    ScratchDir dir;
    const std::string file = dir.file("level.bmp");
    auto level = [](int x, int y) { return uint32_t(0x030201 * ((x + y) % 64 + 40)); };
    Context c;
    int previous = -1;
    for (int d : {-100, -5, 0, 5, 100}) {
        writeAll(file, make24(16, 16, level));
        ASSERT_NE(_bmpprocess(file.c_str(), file.c_str(), &c, 0, 0, 0, d, 0), 0);
        const Bytes out = readAll(file);
        int sum = 0;
        for (size_t i = 54; i < out.size(); ++i) sum += out[i];
        EXPECT_GT(sum, previous) << d;
        previous = sum;
        if (d == 0) {
            EXPECT_EQ(from54(out), from54(make24(16, 16, level)));
        }
    }
}

TEST(Progress, EveryRoutineRisesOnceToTheEnd) {
    ScratchDir dir;
    const std::string src = dir.file("src.bmp"), dst = dir.file("dst.bmp"), eight = dir.file("eight.bmp");
    writeAll(src, make24(300, 300, [](int x, int y) { return uint32_t(x << 16 | y << 8 | (x * y)); }));
    writeAll(eight, make8(256, 256, [](int x, int y) { return x ^ y; }));
    Context c;
    c.setProgress(recordProgress);
    const std::vector<std::pair<const char*, std::function<int32_t()>>> calls = {
        {"anytobmps", [&] { return _anytobmps(src.c_str(), dst.c_str(), &c, 0, 0); }},
        {"anyto256", [&] { return _anyto256(src.c_str(), dst.c_str(), &c, 0, 0); }},
        {"resize down", [&] { return _bmpresize(src.c_str(), dst.c_str(), &c, 256, 256); }},
        {"resize up", [&] { return _bmpresize(eight.c_str(), dst.c_str(), &c, 512, 512); }},
        {"remap", [&] { return _bmpremap(src.c_str(), dst.c_str(), &c, eight.c_str()); }},
        {"soften", [&] { return _bmprocess(src.c_str(), dst.c_str(), &c, 101); }},
        {"adjust", [&] { return _bmpprocess(src.c_str(), dst.c_str(), &c, 10, 10, 10, 10, 10); }},
    };
    for (const auto& [name, call] : calls) {
        progressCalls.clear();
        ASSERT_NE(call(), 0) << name;
        ASSERT_GE(progressCalls.size(), 2u) << name;
        for (size_t i = 0; i < progressCalls.size(); ++i) {
            const auto [done, total] = progressCalls[i];
            ASSERT_GT(total, 0) << name;
            ASSERT_EQ(total, progressCalls[0].second) << name;
            if (i) {
                ASSERT_GT(done, progressCalls[i - 1].first) << name;
            }
        }
        EXPECT_EQ(progressCalls.back().first, progressCalls.back().second) << name;
    }
}

TEST(CBoundary, NullsAndTextsNeverFail) {
    Context c;
    EXPECT_EQ(_anytobmps(nullptr, nullptr, nullptr, 0, 0), 0);
    EXPECT_EQ(_anyto256("a", nullptr, &c, 0, 0), 0);
    EXPECT_EQ(_checkbmp(nullptr, &c), 0);
    EXPECT_EQ(_checkbmp("a", nullptr), 0);
    EXPECT_EQ(_bmpresize(nullptr, "b", &c, 1, 1), 0);
    EXPECT_EQ(_bmpremap("a", "b", &c, nullptr), 0);
    EXPECT_EQ(_bmprocess("a", "b", nullptr, 101), 0);
    EXPECT_EQ(_bmpprocess(nullptr, "b", &c, 0, 0, 0, 0, 0), 0);
    for (int32_t n : {-1, _Pic_Count() + 1, INT32_MAX}) {
        EXPECT_STREQ(_Pic_Description(n), "");
        EXPECT_STREQ(_Pic_Pattern(n), "");
    }
    // "major.minor.patch.build"
    std::istringstream version(quorimg_version());
    int part[4] = {-1, -1, -1, -1};
    char dot[3] = {};
    version >> part[0] >> dot[0] >> part[1] >> dot[1] >> part[2] >> dot[2] >> part[3];
    EXPECT_TRUE(version.eof() && part[3] >= 0 && dot[0] == '.' && dot[1] == '.' && dot[2] == '.') << quorimg_version();
}

TEST(KeptPicture, AThreadHoldsOnePictureAndItsHalvingsAtATime) {
    // The last picture read is kept with its halvings for the calls that
    // follow, and let go before the next file is read, so a thread never
    // holds two pictures' worth of memory.
    ScratchDir dir;
    const std::string first = dir.file("first.bmp"), second = dir.file("second.bmp");
    writeAll(first, make24(64, 64, [](int x, int y) { return uint32_t(x * 4) << 16 | uint32_t(y * 4); }));
    writeAll(second, make24(64, 64, [](int x, int) { return uint32_t(x * 4) << 8; }));

    const auto picture = quor::loadShared(first);
    ASSERT_TRUE(picture);
    EXPECT_EQ(quor::loadShared(first), picture);
    quor::Halvings* halvings = quor::keptHalvings(picture);
    ASSERT_NE(halvings, nullptr);
    EXPECT_EQ(quor::keptHalvings(quor::loadShared(first)), halvings);

    const auto next = quor::loadShared(second);
    ASSERT_TRUE(next);
    EXPECT_EQ(quor::keptHalvings(picture), nullptr);
    EXPECT_EQ(picture.use_count(), 1) << "the first picture is still held";

    // A picture too large to keep lets the kept one go all the same.
    const std::string large = dir.file("large.bmp");
    writeAll(large, make24(2048, 1024, [](int, int) { return 0x808080u; }));
    const auto big = quor::loadShared(large);
    ASSERT_TRUE(big);
    EXPECT_EQ(quor::keptHalvings(big), nullptr);
    EXPECT_EQ(next.use_count(), 1);
}

TEST(KeptPicture, APictureWrittenAsItIsIsKeptForTheWrittenFile) {
    // Converting writes the picture just read; reading the written file
    // must give the same picture, and does so without decoding it again.
    ScratchDir dir;
    const std::string source = dir.file("source.bmp"), copy = dir.file("copy.bmp");
    Bytes withExtras = make24(32, 32, [](int x, int y) { return uint32_t(x * 8) << 16 | uint32_t(y * 8); });
    put32(withExtras, 38, 2835);  // a resolution, so the written file differs from its source
    writeAll(source, withExtras);
    const auto picture = quor::loadShared(source);
    ASSERT_TRUE(picture);
    quor::Halvings* halvings = quor::keptHalvings(picture);
    Context ctx;
    ASSERT_EQ(_anytobmps(source.c_str(), copy.c_str(), &ctx, 0, 0), 1);
    ASSERT_NE(readAll(copy), withExtras);
    EXPECT_EQ(quor::loadShared(copy), picture);
    EXPECT_EQ(quor::keptHalvings(picture), halvings);

    // The written file changed behind the library's back is read afresh.
    writeAll(copy, make24(32, 32, [](int, int) { return 0x102030u; }));
    const auto changed = quor::loadShared(copy);
    ASSERT_TRUE(changed);
    EXPECT_NE(changed, picture);
    EXPECT_EQ(changed->rgba[0], 0x10);

    // Only 24-bit results are kept: a translucent picture's written file is
    // decoded for what it is, alpha and all.
    const std::string translucent = dir.file("translucent.bmp"), written = dir.file("written.bmp");
    writeAll(translucent, make(Spec{.width = 2,
                                    .height = 1,
                                    .bpp = 32,
                                    .compression = 3,
                                    .infoSize = 56,
                                    .masks = {0x00ff0000u, 0x0000ff00u, 0x000000ffu, 0xff000000u},
                                    .rows = {{10, 20, 30, 128, 40, 50, 60, 255}}}));
    const auto seeThrough = quor::loadShared(translucent);
    ASSERT_TRUE(seeThrough && seeThrough->hasAlpha);
    ASSERT_EQ(_anytobmps(translucent.c_str(), written.c_str(), &ctx, 0, 0), 1);
    const auto again = quor::loadShared(written);
    ASSERT_TRUE(again);
    EXPECT_NE(again, seeThrough);
    EXPECT_EQ(again->sourceBpp, 32);
    EXPECT_EQ(again->rgba, seeThrough->rgba);
}

// A picture that one of the library's limits refuses says so with
// QUOR_ERROR_LIMIT, its size and the limit, from every routine that meets it
// first; any other failure gives another code, and a success none.
TEST(Refusal, APictureTooLargeSaysItsSizeAndTheLimit) {
    ScratchDir dir;
    const auto greyMap = [&](const std::string& name, int w, int h) {
        std::string bytes = "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
        bytes.resize(bytes.size() + size_t(w) * size_t(h), '\x40');
        writeAll(dir.file(name), Bytes(bytes.begin(), bytes.end()));
        return dir.file(name);
    };
    const std::string wide = greyMap("wide.pgm", 8193, 2), tall = greyMap("tall.pgm", 3, 9000);
    const std::string big = greyMap("big.pgm", 6000, 6000), fine = greyMap("fine.pgm", 300, 200);
    // Palette and grey PNG coders answer the refused memory with no picture at all.
    const auto bigPng = [&](const std::string& name, const std::string& form) {
        const std::string command = "convert -size 6000x6000 xc:#404040 " + form + ":'" + dir.file(name) + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return dir.file(name);
    };
    const std::string bigPalette = bigPng("palette.png", "-type Palette PNG8"),
                      bigGrey = bigPng("grey.png", "-define png:color-type=0 PNG");
    const std::string junk = dir.file("junk.png");
    writeAll(junk, Bytes(300, 0x41));
    const std::string out = dir.file("out.bmp");
    Context c;
    const std::function<int32_t(const std::string&)> routines[] = {
        [](const std::string& f) { return _Pic_Valid(f.c_str()); },
        [&c](const std::string& f) { return _checkbmp(f.c_str(), &c); },
        [&](const std::string& f) { return _anytobmps(f.c_str(), out.c_str(), &c, 0, 0); },
        [&](const std::string& f) { return _bmpresize(f.c_str(), out.c_str(), &c, 16, 16); },
    };
    const struct {
        std::string file;
        std::vector<std::string> said;  // empty: no limit met
        bool onlyWhenDecoded;           // the size is known only once the pixels are read
    } cases[] = {
        {wide, {"8193 x 2 pixels", "at most 8192 pixels a side"}, false},
        {tall, {"3 x 9000 pixels", "at most 8192 pixels a side"}, false},
        {big, {"6000 x 6000 pixels", "256 MiB"}, true},
        {bigPalette, {"6000 x 6000 pixels", "256 MiB"}, true},
        {bigGrey, {"6000 x 6000 pixels", "256 MiB"}, true},
        {junk, {}, false},
        {fine, {}, false},
    };
    for (const auto& c : cases) {
        for (size_t r = 0; r < std::size(routines); ++r) {
            SCOPED_TRACE(c.file + " routine " + std::to_string(r));
            const bool decodes = r >= 2;
            const int32_t result = routines[r](c.file);
            const int32_t code = quorimg_last_error();
            const std::string refusal = quorimg_last_error_text();
            if (c.said.empty() || (c.onlyWhenDecoded && !decodes)) {
                EXPECT_NE(code, QUOR_ERROR_LIMIT) << refusal;
                if (c.file == fine) {
                    EXPECT_NE(result, 0);
                    EXPECT_EQ(code, QUOR_OK);
                    EXPECT_EQ(refusal, "");
                }
                continue;
            }
            EXPECT_EQ(result, 0);
            EXPECT_EQ(code, QUOR_ERROR_LIMIT);
            for (const std::string& part : c.said) EXPECT_NE(refusal.find(part), std::string::npos) << refusal;
        }
    }
}

// Every failing routine leaves a code, the system's error number where a
// file was the trouble, and a text; the next success clears all three.
TEST(Reasons, EveryFailureSaysWhyAndTheNextSuccessForgetsIt) {
    ScratchDir dir;
    const std::string src = dir.file("src.bmp"), dst = dir.file("dst.bmp"), junk = dir.file("junk.png");
    const std::string missing = dir.file("missing.bmp"), notAFolder = src + "/dst.bmp";
    writeAll(src, make24(4, 4, [](int x, int y) { return uint32_t(0x102030 * (x + y)); }));
    writeAll(junk, Bytes(300, 0x41));
    Context c;
    uint8_t rgba[4 * 4 * 4];
    const struct {
        const char* what;
        std::function<int32_t()> call;
        int32_t code;
        int32_t error;       // errno, 0 for none
        std::string saying;  // a part of the text
    } cases[] = {
        {"no context", [&] { return _checkbmp(src.c_str(), nullptr); }, QUOR_ERROR_ARGUMENT, 0, "missing"},
        {"a missing file", [&] { return _checkbmp(missing.c_str(), &c); }, QUOR_ERROR_READ, ENOENT, missing},
        {"a folder", [&] { return _anytobmps(dir.path().c_str(), dst.c_str(), &c, 0, 0); }, QUOR_ERROR_READ, EISDIR,
         dir.path()},
        {"no picture", [&] { return _Pic_Valid(junk.c_str()); }, QUOR_ERROR_FORMAT, 0, ""},
        {"a missing folder", [&] { return _anytobmps(src.c_str(), dir.file("no/dst.bmp").c_str(), &c, 0, 0); },
         QUOR_ERROR_WRITE, ENOENT, "no/dst.bmp"},
        {"a file for a folder", [&] { return _bmpresize(src.c_str(), notAFolder.c_str(), &c, 2, 2); }, QUOR_ERROR_WRITE,
         ENOTDIR, notAFolder},
        {"a size of nothing", [&] { return _bmpresize(src.c_str(), dst.c_str(), &c, 0, 2); }, QUOR_ERROR_ARGUMENT, 0,
         "0 x 2"},
        {"both grids",
         [&] { return _bmpresizergb(src.c_str(), dst.c_str(), &c, 2, 2, QUOR_GRID_565 | QUOR_GRID_4444); },
         QUOR_ERROR_ARGUMENT, 0, "together"},
        {"an unknown filter", [&] { return _bmprocess(src.c_str(), dst.c_str(), &c, 7); }, QUOR_ERROR_ARGUMENT, 0, "7"},
        {"a palette file that is none", [&] { return _bmpremap(src.c_str(), dst.c_str(), &c, junk.c_str()); },
         QUOR_ERROR_FORMAT, 0, "palette"},
        {"too small a buffer", [&] { return _bmpreadrgba(src.c_str(), &c, rgba, sizeof rgba - 1); },
         QUOR_ERROR_CAPACITY, 0, "64"},
        {"no such block format", [&] { return _bcsize(4, 4, 99); }, QUOR_ERROR_ARGUMENT, 0, "99"},
        {"no such picture format", [&] { return _Pic_Description(-1)[0] == '\0' ? 0 : 1; }, QUOR_ERROR_ARGUMENT, 0,
         "-1"},
        {"no such part", [&] { return quorimg_part_version(-1) ? 1 : 0; }, QUOR_ERROR_ARGUMENT, 0, "-1"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        EXPECT_EQ(k.call(), 0);
        EXPECT_EQ(quorimg_last_error(), k.code);
        EXPECT_EQ(quorimg_last_errno(), k.error);
        const std::string text = quorimg_last_error_text();
        EXPECT_FALSE(text.empty());
        EXPECT_NE(text.find(k.saying), std::string::npos) << text;
        if (k.error != 0) {
            EXPECT_NE(text.find(std::strerror(k.error)), std::string::npos) << text;
        }
        ASSERT_NE(_checkbmp(src.c_str(), &c), 0);
        EXPECT_EQ(quorimg_last_error(), QUOR_OK);
        EXPECT_EQ(quorimg_last_errno(), 0);
        EXPECT_STREQ(quorimg_last_error_text(), "");
    }
}
