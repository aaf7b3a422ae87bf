// DDS files of a set's chain, judged by other readers: OpenImageIO's tools
// and ImageMagick decode what we write, and decode what ImageMagick writes
// beside our reader.
#include "outsidereaders.h"
#include "testsets.h"

#include "dds.h"
#include "setcommands.h"
#include "splitjoin.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <bit>
#include <functional>

using namespace corvane;
using namespace corvane::testing;

namespace {

using Rgba = std::array<uint8_t, 4>;

// Smooth light with grain and, when asked, an alpha ramp with a hole;
// different at every level, as a chain's levels are.
Rgba paint(int edge, int x, int y, bool alpha) {
    const double u = (x + 0.5) / edge, v = (y + 0.5) / edge;
    const int grain = int(((x * 7919 + y * 104729 + edge * 31) >> 3) % 9) - 4;
    const auto c = [&](double value) { return uint8_t(std::clamp(int(value) + grain, 0, 255)); };
    uint8_t a = 255;
    if (alpha) a = std::hypot(u - 0.3, v - 0.6) < 0.15 ? 0 : uint8_t(40 + 215 * u);
    return {c(130 + 100 * std::sin(5.0 * u + 2.0 * v)), c(110 + 80 * std::cos(3.0 * v)), c(60 + 140 * u * v), a};
}

Levels paintedLevels(int largest, bool alpha) {
    Levels levels;
    for (int e = largest; e >= 1; e /= 2) {
        Bytes level;
        for (int y = 0; y < e; ++y)
            for (int x = 0; x < e; ++x) {
                const Rgba p = paint(e, x, y, alpha);
                level.insert(level.end(), p.begin(), p.end());
            }
        levels.push_back(std::move(level));
    }
    return levels;
}

// A 32-bit Extended Bitmap of the levels: 54-byte header, rows bottom first, BGRA.
Bytes set32(const Levels& levels) {
    const int largest = int(std::lround(std::sqrt(levels[0].size() / 4)));
    Bytes b(54, 0);
    b[0] = 'B';
    b[1] = 'M';
    layout::write32(b, 10, 54);
    layout::write32(b, 14, 40);
    layout::write32(b, 18, uint32_t(largest));
    layout::write32(b, 22, uint32_t(largest));
    layout::write16(b, 26, 1);
    layout::write16(b, 28, 32);
    for (size_t i = 0; i < levels.size(); ++i) {
        const size_t e = size_t(largest) >> i;
        for (size_t y = e; y-- > 0;)
            for (size_t x = 0; x < e; ++x) {
                const uint8_t* p = levels[i].data() + (y * e + x) * 4;
                b.insert(b.end(), {p[2], p[1], p[0], p[3]});
            }
    }
    layout::write32(b, 2, uint32_t(b.size()));
    return b;
}

struct Comparison {
    double psnr = 0;       // colour, over texels at least half visible
    double alphaMean = 0;  // mean absolute alpha error
    int worst = 0;         // largest difference of alpha, and of colour where at least half visible
};

Comparison compare(const Bytes& expected, const Bytes& got) {
    Comparison c;
    double sum = 0, alpha = 0;
    size_t n = 0;
    for (size_t i = 0; i + 3 < expected.size() && i + 3 < got.size(); i += 4) {
        alpha += std::abs(int(expected[i + 3]) - int(got[i + 3]));
        c.worst = std::max(c.worst, std::abs(int(expected[i + 3]) - int(got[i + 3])));
        if (expected[i + 3] < 128) continue;
        for (size_t k = 0; k < 3; ++k) c.worst = std::max(c.worst, std::abs(int(expected[i + k]) - int(got[i + k])));
        for (size_t k = 0; k < 3; ++k) {
            const double d = double(expected[i + k]) - double(got[i + k]);
            sum += d * d;
            ++n;
        }
    }
    c.alphaMean = alpha / double(expected.size() / 4);
    c.psnr = sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / (sum / double(std::max<size_t>(n, 1))));
    return c;
}

struct Loaded {
    Scratch s;
    QuorContext context{};
    QuorLibrary library{context};
};

CommandOutcome loadSet(Loaded& l, const Bytes& file) {
    const QString path = l.s.path("set.bmp");
    writeBytes(path, file);
    return loadExtended(path, BitmapFilter, l.s.workspace, l.library, SetOptions{});
}

// The file's header as the format lays it out.
uint32_t headerField(const Bytes& dds, size_t at) { return layout::read32(dds, at); }

}  // namespace

// Sets written as DDS, read back by OpenImageIO (every mip) and ImageMagick
// (the largest): the format each reader names, ten mips for 512, and every
// mip within the block format's error of the set's level.
TEST(Dds, WrittenChainsReadAlikeInOtherReaders) {
    if (oiiotool().isEmpty()) GTEST_SKIP() << "oiiotool (openimageio-tools) is not installed";
    struct Case {
        bool alpha;
        DdsFormat format;
        const char* named;  // what iinfo calls the compression
        double psnr;
    };
    for (const Case& c : {Case{false, DdsFormat::Auto, "DXT1", 30.0}, Case{true, DdsFormat::Auto, "DXT5", 30.0},
                          Case{true, DdsFormat::blocks(quor::blocks::Format::Bc7), "BC7", 30.0},
                          Case{true, DdsFormat::Rgba, nullptr, 99.0}}) {
        SCOPED_TRACE(c.named ? c.named : "RGBA");
        Loaded l;
        const Levels levels = paintedLevels(512, c.alpha);
        ASSERT_TRUE(loadSet(l, set32(levels)).ok);
        const QString dds = l.s.path("out.dds");
        const CommandOutcome saved = saveDds(l.s.workspace, dds, c.format);
        ASSERT_TRUE(saved.ok) << saved.error.toStdString();

        const QString info = run(QStandardPaths::findExecutable("iinfo"), {"-v", dds});
        EXPECT_TRUE(info.contains("MIP-map levels: 512x512 256x256 128x128 64x64 32x32 16x16 8x8 4x4 2x2 1x1"))
            << info.toStdString();
        if (c.named)
            EXPECT_TRUE(info.contains(QStringLiteral("compression: \"%1\"").arg(c.named))) << info.toStdString();
        else EXPECT_FALSE(info.contains("compression")) << info.toStdString();
        EXPECT_EQ(headerField(readBytes(dds), 28), 10u);

        const Levels theirs = oiioMips(dds, 10, l.s.dir.path());
        for (int mip = 0; mip < 10; ++mip) {
            const int edge = 512 >> mip;
            ASSERT_EQ(theirs[size_t(mip)].size(), size_t(edge) * edge * 4);
            const Comparison cmp = compare(levels[size_t(mip)], theirs[size_t(mip)]);
            // The smallest levels hold a few unrelated colours a block cannot line up.
            if (edge >= 16) {
                EXPECT_GE(cmp.psnr, c.psnr) << "mip " << mip;
            }
            if (!c.named) {
                EXPECT_EQ(cmp.worst, 0) << "mip " << mip;
            }
            if (c.alpha && edge >= 32) {
                EXPECT_LE(cmp.alphaMean, 1.0) << "mip " << mip;
            }
            if (!c.alpha) {
                EXPECT_EQ(cmp.alphaMean, 0.0) << "mip " << mip;
            }
        }
        if (c.format.blockFormat() && c.format.blockFormat()->needsDx10Header())
            continue;  // ImageMagick reads no DX10 file
        int w = 0, h = 0;
        const Bytes top = magickRgba(dds.toStdString(), w, h);
        ASSERT_EQ(w, 512);
        EXPECT_GE(compare(levels[0], top).psnr, c.psnr);
    }
}

// Files ImageMagick writes (DXT1 and DXT5 with mips, uncompressed 32-bit):
// our reader's levels against OpenImageIO's and ImageMagick's decoding of
// the same file.
TEST(Dds, ReadsWhatImageMagickWritesAsOtherReadersDo) {
    if (oiiotool().isEmpty()) GTEST_SKIP() << "oiiotool (openimageio-tools) is not installed";
    initMagick();
    QTemporaryDir dir;
    const Levels source = paintedLevels(128, true);
    for (const char* compression : {"dxt1", "dxt5", "none"}) {
        SCOPED_TRACE(compression);
        Magick::Image image(Magick::Geometry(128, 128), Magick::Color("black"));
        image.read(128, 128, "RGBA", Magick::CharPixel, source[0].data());
        image.defineValue("dds", "compression", compression);
        image.defineValue("dds", "mipmaps", "7");
        const std::string file = dir.filePath(QStringLiteral("%1.dds").arg(compression)).toStdString();
        image.write(file);

        const Bytes bytes = readBytes(QString::fromStdString(file));
        const DdsReading reading = decodeDds(bytes.data(), bytes.size());
        ASSERT_TRUE(reading.refusal.isEmpty()) << reading.refusal.toStdString();
        ASSERT_EQ(reading.chain.largest, 128);
        ASSERT_EQ(reading.chain.levels.size(), 8u);
        EXPECT_TRUE(reading.missing.empty());
        const Levels theirs = oiioMips(QString::fromStdString(file), 8, dir.path());
        for (size_t mip = 0; mip < reading.chain.levels.size(); ++mip) {
            ASSERT_EQ(theirs[mip].size(), reading.chain.levels[mip].size());
            // Decoders may round the thirds of a block differently.
            EXPECT_LE(compare(theirs[mip], reading.chain.levels[mip]).worst, 2) << "mip " << mip;
        }
        int w = 0, h = 0;
        EXPECT_LE(compare(magickRgba(file, w, h), reading.chain.levels[0]).worst, 2);
    }
}

// Short files and headers that lie: refused with a reason, or the complete
// mips read, never a read past the end (run under the sanitizers too).
TEST(Dds, ShortAndLyingFilesAreRefusedOrReadInPart) {
    Levels levels = paintedLevels(512, false);
    DdsChain chain{512, levels};
    const Bytes good = encodeDds(chain, DdsFormat::blocks(quor::blocks::Format::Bc1));
    // The mips' sizes as the format gives them: 8 bytes a block of 4x4.
    std::vector<size_t> ends;
    size_t end = 128;
    for (int e = 512; e >= 1; e /= 2) ends.push_back(end += size_t(std::max(1, e / 4) * std::max(1, e / 4)) * 8);
    ASSERT_EQ(good.size(), ends.back());

    for (size_t cut = 0; cut <= good.size(); cut += cut < 256 ? 1 : 4093) {
        const Bytes shortFile(good.begin(), good.begin() + std::ptrdiff_t(cut));
        const DdsReading r = decodeDds(shortFile.data(), shortFile.size());
        const size_t complete = size_t(std::count_if(ends.begin(), ends.end(), [&](size_t e) { return e <= cut; }));
        if (complete == 0) {
            EXPECT_FALSE(r.refusal.isEmpty()) << cut;
            continue;
        }
        EXPECT_EQ(r.chain.levels.size(), complete) << cut;
        EXPECT_EQ(r.missing.size(), 10 - complete) << cut;
        EXPECT_EQ(r.truncated, complete < 10) << cut;
    }

    const auto lying = [&](size_t at, uint32_t value) {
        Bytes b = good;
        layout::write32(b, at, value);
        return decodeDds(b.data(), b.size());
    };
    EXPECT_FALSE(lying(4, 0).refusal.isEmpty());          // header size
    EXPECT_FALSE(lying(12, 256).refusal.isEmpty());       // not square
    EXPECT_FALSE(lying(12, 1u << 30).refusal.isEmpty());  // huge and not square
    Bytes huge = good;
    layout::write32(huge, 12, 1u << 30);
    layout::write32(huge, 16, 1u << 30);
    EXPECT_FALSE(decodeDds(huge.data(), huge.size()).refusal.isEmpty());
    EXPECT_FALSE(lying(84, 0x30315844).refusal.isEmpty());               // "DX10"
    EXPECT_FALSE(lying(112, 0x200 | 0xFC00).refusal.isEmpty());          // a cube map
    EXPECT_FALSE(lying(84, 0x31545844 + 0x01000000).refusal.isEmpty());  // "DXT2"
    const DdsReading manyMips = lying(28, 0xFFFFFFFF);
    EXPECT_EQ(manyMips.chain.levels.size(), 10u);
    const DdsReading oneMip = lying(28, 1);
    EXPECT_EQ(oneMip.chain.levels.size(), 1u);
    EXPECT_EQ(oneMip.missing.size(), 9u);
    EXPECT_FALSE(oneMip.truncated);

    // A 1024 texture with every mip: its 512 mip and below are read.
    Bytes larger(good.begin(), good.begin() + 128);
    layout::write32(larger, 12, 1024);
    layout::write32(larger, 16, 1024);
    layout::write32(larger, 28, 11);
    larger.resize(128 + 256 * 256 * 8, 0x5A);
    larger.insert(larger.end(), good.begin() + 128, good.end());
    const DdsReading big = decodeDds(larger.data(), larger.size());
    ASSERT_TRUE(big.refusal.isEmpty()) << big.refusal.toStdString();
    EXPECT_EQ(big.skippedLarger, 1);
    EXPECT_EQ(big.chain.levels, decodeDds(good.data(), good.size()).chain.levels);
    // ... but one that ends inside its 1024 level has nothing to give.
    larger.resize(128 + 1000);
    EXPECT_FALSE(decodeDds(larger.data(), larger.size()).refusal.isEmpty());
}

// Save as DDS, load it back: the set's levels come back within the block
// format's error, alpha and palette transparency included; a short file
// loads its complete levels and says which are missing.
TEST(Dds, RoundTripsThroughTheWorkspace) {
    // An 8-bit set: a palette with transparency levels, indices in a pattern.
    Bytes eight = setHeaders8(64);
    for (size_t i = 0; i < 256; ++i) {
        eight[54 + 4 * i] = uint8_t(i);                 // blue
        eight[55 + 4 * i] = uint8_t(255 - i);           // green
        eight[56 + 4 * i] = uint8_t((i * 3) & 0xFF);    // red
        eight[57 + 4 * i] = uint8_t(i < 16 ? 0 : 255);  // transparency level
    }
    Levels eightLevels;  // what the set shows, worked out from the palette here
    for (int e = 64; e >= 1; e /= 2) {
        Bytes level(size_t(e) * e * 4);
        for (int y = e - 1; y >= 0; --y)  // stored bottom row first
            for (int x = 0; x < e; ++x) {
                const uint8_t index = uint8_t((x / 4 + y / 4) * 8 + e);
                eight.push_back(index);
                uint8_t* p = level.data() + (size_t(y) * e + x) * 4;
                p[0] = uint8_t((index * 3) & 0xFF), p[1] = uint8_t(255 - index), p[2] = index;
                p[3] = index < 16 ? 0 : 255;
            }
        eightLevels.push_back(std::move(level));
    }
    finishSet8(eight);

    struct Case {
        Bytes file;
        Levels levels;
        DdsFormat format;
    };
    for (Case& c : std::vector<Case>{
             {eight, eightLevels, DdsFormat::Auto},
             {set32(paintedLevels(256, true)), paintedLevels(256, true), DdsFormat::blocks(quor::blocks::Format::Bc3)},
             {set32(paintedLevels(256, true)), paintedLevels(256, true), DdsFormat::Rgba}}) {
        SCOPED_TRACE(c.levels.size());
        Loaded first;
        ASSERT_TRUE(loadSet(first, c.file).ok);
        const QString dds = first.s.path("round.dds");
        const CommandOutcome written = saveDds(first.s.workspace, dds, c.format);
        ASSERT_TRUE(written.ok) << written.error.toStdString();
        EXPECT_EQ(headerField(readBytes(dds), 84), c.format == DdsFormat::Rgba ? 0u : 0x35545844u);  // "DXT5"

        Loaded second;
        const CommandOutcome loaded = loadDds(dds, second.s.workspace, second.library, SetOptions{});
        ASSERT_TRUE(loaded.ok) << loaded.error.toStdString();
        EXPECT_TRUE(second.s.workspace.state().depth == SetDepth::Argb32);
        EXPECT_TRUE(isDdsFile(dds));
        // The loaded set as it saves, read here: 32-bit, rows bottom first, BGRA.
        const QString saved = second.s.path("saved.bmp");
        ASSERT_TRUE(writeSet(second.s.workspace, saved).ok);
        const Bytes file = readBytes(saved);
        ASSERT_EQ(file[28], 32);
        const int largest = int(layout::read32(file, 18));
        size_t at = layout::read32(file, 10);
        for (size_t i = 0; i < c.levels.size(); ++i) {
            const int edge = largest >> i;
            Bytes back(size_t(edge) * edge * 4);
            for (int y = edge - 1; y >= 0; --y)
                for (int x = 0; x < edge; ++x, at += 4) {
                    uint8_t* p = back.data() + (size_t(y) * edge + x) * 4;
                    p[0] = file[at + 2], p[1] = file[at + 1], p[2] = file[at], p[3] = file[at + 3];
                }
            const Comparison cmp = compare(c.levels[i], back);
            if (c.format == DdsFormat::Rgba) {
                EXPECT_EQ(cmp.worst, 0) << edge;
            }
            if (c.format == DdsFormat::Rgba || edge < 16) continue;  // small levels: a few unrelated texels a block
            EXPECT_GE(cmp.psnr, 30.0) << edge;
            EXPECT_LE(cmp.alphaMean, 1.5) << edge;
        }
    }

    // A file cut inside its 16x16 mip: 64 and 32 load, the rest is named missing.
    Loaded third;
    ASSERT_TRUE(loadSet(third, set32(paintedLevels(64, false))).ok);
    const QString whole = third.s.path("whole.dds");
    ASSERT_TRUE(saveDds(third.s.workspace, whole, DdsFormat::blocks(quor::blocks::Format::Bc1)).ok);
    Bytes cut = readBytes(whole);
    cut.resize(128 + 256 * 8 + 64 * 8 + 20);  // 64: 256 blocks, 32: 64 blocks, then 20 bytes
    writeBytes(third.s.path("cut.dds"), cut);
    Loaded fourth;
    const CommandOutcome partial = loadDds(third.s.path("cut.dds"), fourth.s.workspace, fourth.library, SetOptions{});
    ASSERT_TRUE(partial.ok) << partial.error.toStdString();
    EXPECT_EQ(fourth.s.workspace.state().largest, 64);
    EXPECT_EQ(missingLevels(fourth.s.workspace), (std::vector<int>{16, 8, 4, 2, 1}));
    EXPECT_TRUE(partial.information.join(" ").contains("16x16, 8x8, 4x4, 2x2, 1x1"));

    // Saving fails with the cause and leaves what was there.
    writeBytes(third.s.path("kept.dds"), Bytes{1, 2, 3});
    QFile::setPermissions(third.s.path("kept.dds"), QFileDevice::ReadOwner);
    const CommandOutcome readOnly = saveDds(third.s.workspace, third.s.path("kept.dds"), DdsFormat::Auto);
    EXPECT_FALSE(readOnly.ok);
    EXPECT_TRUE(readOnly.error.contains("read-only")) << readOnly.error.toStdString();
    EXPECT_EQ(readBytes(third.s.path("kept.dds")), (Bytes{1, 2, 3}));
    const CommandOutcome noFolder = saveDds(third.s.workspace, third.s.path("no/such/folder/x.dds"), DdsFormat::Auto);
    EXPECT_FALSE(noFolder.ok);
    EXPECT_FALSE(noFolder.error.isEmpty());
}

namespace {

// Bytes of every mip from `edge` down: `blockBytes` a 4x4 block, or
// `texelBytes` a texel.
size_t chainBytes(int edge, int blockBytes, int texelBytes) {
    size_t n = 0;
    for (int e = edge; e >= 1; e /= 2)
        n += blockBytes ? size_t((e + 3) / 4) * size_t((e + 3) / 4) * size_t(blockBytes) : size_t(e) * e * texelBytes;
    return n;
}

Bytes randomBytes(size_t n, uint32_t seed) {
    Bytes b(n);
    for (uint8_t& v : b) v = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
    return b;
}

constexpr std::array<uint32_t, 4> kRgbaMasks{0xff, 0xff00, 0xff0000, 0xff000000};
constexpr std::array<uint32_t, 4> kBgraMasks{0xff0000, 0xff00, 0xff, 0xff000000};

}  // namespace

// Files of every format read, laid out here from their texels: behind the
// DX10 header, every mip reads as OpenImageIO decodes the same texels (behind
// the legacy header where it reads no DX10 header of that format), and as
// Pillow decodes the largest where it reads the DX10 file itself; the
// uncompressed 5-6-5 file likewise.
TEST(Dds, Dx10AndPlainFilesReadAsOtherReadersDecodeThem) {
    if (oiiotool().isEmpty()) GTEST_SKIP() << "oiiotool (openimageio-tools) is not installed";
    constexpr int kEdge = 64;
    // BC7 blocks of a painted level from our encoder: random bytes hold
    // reserved modes, which readers decode differently.
    Bytes bc7;
    for (const Bytes& level : paintedLevels(kEdge, true)) {
        const int e = int(std::lround(std::sqrt(level.size() / 4)));
        Bytes blocks(size_t(_bcsize(e, e, QUOR_BC7)));
        ASSERT_TRUE(_bcencode(level.data(), e, e, QUOR_BC7, blocks.data(), int32_t(blocks.size())));
        bc7.insert(bc7.end(), blocks.begin(), blocks.end());
    }
    struct Case {
        const char* name;
        DdsHeader dx10;    // the file read
        DdsHeader legacy;  // the same texels as OpenImageIO reads them; dx10 itself when all zero
        Bytes payload;
        bool pillowReadsDx10;
        // Decoders round the thirds of a BC1 colour or an alpha step either
        // way: random blocks hold every such case.
        int tolerance = 1;
    };
    const Case cases[] = {
        {"BC1", {.dxgi = 71}, {.fourCc = 0x31545844}, randomBytes(chainBytes(kEdge, 8, 0), 1), false, 2},
        {"BC1 sRGB", {.dxgi = 72}, {.fourCc = 0x31545844}, randomBytes(chainBytes(kEdge, 8, 0), 2), false, 2},
        {"BC2", {.dxgi = 74}, {.fourCc = 0x33545844}, randomBytes(chainBytes(kEdge, 16, 0), 3), false, 2},
        {"BC3", {.dxgi = 77}, {.fourCc = 0x35545844}, randomBytes(chainBytes(kEdge, 16, 0), 4), false, 2},
        {"BC7", {.dxgi = 98}, {}, bc7, true},
        {"BC7 sRGB", {.dxgi = 99}, {}, bc7, true},
        {"RGBA8", {.dxgi = 28}, {.bits = 32, .masks = kRgbaMasks}, randomBytes(chainBytes(kEdge, 0, 4), 5), true},
        {"RGBA8 sRGB", {.dxgi = 29}, {.bits = 32, .masks = kRgbaMasks}, randomBytes(chainBytes(kEdge, 0, 4), 6), true},
        {"BGRA8", {.dxgi = 87}, {.bits = 32, .masks = kBgraMasks}, randomBytes(chainBytes(kEdge, 0, 4), 7), false},
        {"5-6-5",
         {.dxgi = 85},
         {.bits = 16, .masks = {0xf800, 0x07e0, 0x001f, 0}},
         randomBytes(chainBytes(kEdge, 0, 2), 8),
         false},
        {"5-6-5 legacy",
         {.bits = 16, .masks = {0xf800, 0x07e0, 0x001f, 0}},
         {},
         randomBytes(chainBytes(kEdge, 0, 2), 9),
         false},
    };
    Scratch s;
    const int mips = std::bit_width(unsigned(kEdge));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = laidOutDds(c.dx10, kEdge, uint32_t(mips), c.payload);
        const DdsReading ours = decodeDds(file.data(), file.size());
        ASSERT_TRUE(ours.refusal.isEmpty()) << ours.refusal.toStdString();
        ASSERT_EQ(ours.chain.levels.size(), size_t(mips));
        const bool legacy = c.legacy.fourCc || c.legacy.bits;
        const QString reference = s.path(QStringLiteral("reference.dds"));
        writeBytes(reference, legacy ? laidOutDds(c.legacy, kEdge, uint32_t(mips), c.payload) : file);
        Levels theirs = oiioMips(reference, mips, s.dir.path());
        for (int mip = 0; mip < mips; ++mip) {
            Bytes& level = theirs[size_t(mip)];
            // A file without alpha gives OpenImageIO three channels: opaque.
            const bool opaque = (legacy ? c.legacy : c.dx10).bits == 16;
            for (size_t i = 3; opaque && i < level.size(); i += 4) level[i] = 255;
            EXPECT_LE(worstDifference(level, ours.chain.levels[size_t(mip)]), c.tolerance) << "mip " << mip;
        }
        if (c.pillowReadsDx10 && !pillowPython().isEmpty()) {
            writeBytes(s.path("read.dds"), file);
            EXPECT_LE(worstDifference(pillowRgba(s.path("read.dds")), ours.chain.levels[0]), 1);
        }
    }
}

// Headers that lie or name what is not one texture: refused with a reason,
// never read past the end; a texture that is no square points to Load Any
// Image, which takes any shape.
TEST(Dds, HostileDx10HeadersAreRefused) {
    const Bytes bc1 = randomBytes(chainBytes(64, 8, 0), 11);
    struct Case {
        const char* name;
        Bytes file;
        const char* says;
        bool pictureReads = false;  // Load Any Image's reading takes the file
    };
    Bytes cutHeader = laidOutDds({.dxgi = 71}, 64, 7, bc1);
    cutHeader.resize(140);
    const Case cases[] = {
        {"array of two", laidOutDds({.dxgi = 71, .arraySize = 2}, 64, 7, bc1), "array"},
        {"array of none", laidOutDds({.dxgi = 71, .arraySize = 0}, 64, 7, bc1), "array"},
        {"unknown format", laidOutDds({.dxgi = 999}, 64, 7, bc1), "999"},
        {"typeless of nothing read", laidOutDds({.dxgi = 2}, 64, 7, bc1), "BC7"},
        {"a volume", laidOutDds({.dxgi = 71, .dimension = 4}, 64, 7, bc1), "single texture"},
        {"a cube map", laidOutDds({.dxgi = 71, .miscFlag = 4}, 64, 7, bc1), "single texture"},
        {"header cut short", cutHeader, "header"},
        {"not square", laidOutDds({.dxgi = 71}, 64, 7, bc1, 32), "Load Any Image", true},
        {"no power of two", laidOutDds({.dxgi = 71}, 48, 7, bc1), "Load Any Image", true},
        {"huge", laidOutDds({.dxgi = 71}, 1u << 30, 31, bc1), "Load Any Image"},
        // 64 x 128 takes more blocks than the file holds.
        {"legacy not square", laidOutDds({.fourCc = 0x31545844}, 64, 7, bc1, 128), "Load Any Image"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DdsReading r = decodeDds(c.file.data(), c.file.size());
        EXPECT_TRUE(r.refusal.contains(QLatin1String(c.says))) << r.refusal.toStdString();
        EXPECT_TRUE(r.chain.levels.empty());
        // Load Any Image's reading takes the shapes that are no set's, as far
        // as the library's longest side, and refuses the rest alike.
        const DdsPicture picture = decodeDdsPicture(c.file.data(), c.file.size());
        EXPECT_EQ(picture.refusal.isEmpty(), c.pictureReads) << picture.refusal.toStdString();
        EXPECT_EQ(picture.rgba.size(), size_t(picture.width) * size_t(picture.height) * 4);
    }
    // Mips the file lacks, and a file cut inside a mip: the whole mips read.
    const Bytes whole = laidOutDds({.dxgi = 71}, 64, 7, bc1);
    for (size_t cut = 148; cut <= whole.size(); cut += 37) {
        const DdsReading r = decodeDds(whole.data(), cut);
        if (!r.refusal.isEmpty()) continue;
        EXPECT_EQ(r.chain.levels.size() + r.missing.size(), 7u) << cut;
        EXPECT_EQ(r.truncated, cut < whole.size()) << cut;
    }
    // The picture is the largest level, 64 x 64 in 8-byte blocks of 4 x 4, whole.
    for (size_t cut = 0; cut <= whole.size(); cut += 37)
        EXPECT_EQ(decodeDdsPicture(whole.data(), cut).refusal.isEmpty(), cut >= 148 + 16 * 16 * 8) << cut;
}

// A fence made with "Keep cut-out coverage in mips", written by the real
// writer in each format and decoded by OpenImageIO: BC3 and BC7 keep every
// mip's coverage within one point of the set's level, BC1 forced on it keeps
// every texel on its side of the cut as one-bit alpha and says so.
TEST(Dds, CutOutsKeepTheirCoverageInEveryFormat) {
    if (oiiotool().isEmpty()) GTEST_SKIP() << "oiiotool (openimageio-tools) is not installed";
    // Wires three texels wide every 16 over painted light.
    Levels fence = paintedLevels(256, false);
    Bytes& top = fence[0];
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) top[(size_t(y) * 256 + x) * 4 + 3] = (x % 16 < 3 || y % 16 < 3) ? 255 : 0;
    Loaded l;
    ASSERT_TRUE(loadSet(l, set32(Levels{top})).ok);
    SetOptions options;
    options.keepCoverage = true;
    ASSERT_TRUE(createImageSet(l.s.workspace, l.library, options, {}).ok);
    DdsChain set;
    ASSERT_TRUE(readSetChain(l.s.workspace, set).ok);
    const auto coverage = [](const Bytes& level) {
        size_t n = 0;
        for (size_t i = 3; i < level.size(); i += 4) n += level[i] >= QUOR_COVERAGE_CUT;
        return 100.0 * double(n) / double(level.size() / 4);
    };
    using quor::blocks::Format;
    for (Format format : {Format::Bc3, Format::Bc7, Format::Bc1}) {
        SCOPED_TRACE(int(format));
        const QString dds = l.s.path(QStringLiteral("fence%1.dds").arg(int(format)));
        const CommandOutcome saved =
            saveDds(l.s.workspace, dds, DdsRequest{DdsFormat::blocks(format), ddsAlphaCut(options)});
        ASSERT_TRUE(saved.ok) << saved.error.toStdString();
        EXPECT_EQ(saved.information.isEmpty(), format != Format::Bc1) << saved.information.join('\n').toStdString();
        const Levels theirs = oiioMips(dds, 9, l.s.dir.path());
        for (size_t mip = 0; mip < 9; ++mip) {
            const Bytes& level = set.levels[mip];
            EXPECT_NEAR(coverage(theirs[mip]), coverage(level), 1.0) << "mip " << mip;
            if (format != Format::Bc1) continue;
            for (size_t i = 3; i < level.size(); i += 4)
                ASSERT_EQ(theirs[mip][i], level[i] >= QUOR_COVERAGE_CUT ? 255 : 0)
                    << "mip " << mip << " texel " << i / 4;
        }
    }
}
