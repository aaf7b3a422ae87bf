#include "pixelpack.h"
#include "sources.h"
#include "xbmconvert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <tuple>

using namespace xbmtest;
using corvane::SetDepth;
using xbm::ConvertOptions;

namespace {

Bytes convert(const Bytes& source, SetDepth target) {
    const xbm::ConvertResult result = xbm::convertBytes(source, ConvertOptions{target, false});
    EXPECT_EQ(result.error, "");
    return result.bytes;
}

// How far a channel may move through a depth that keeps fewer bits.
int step(Form f) { return f == Form::Rgb565 ? 8 : f == Form::Argb4444 ? 17 : 0; }
int step(SetDepth t) {
    return t == SetDepth::Rgb565 ? 8 : t == SetDepth::Argb4444 ? 17 : t == SetDepth::Palette8 ? 4 : 0;
}

void expectHeader(const Bytes& out, SetDepth target, int edge, bool sourceRecord) {
    const int bpp = targetBytes(target);
    const int header = target == SetDepth::Palette8 ? (sourceRecord ? 1098 : 1078)
                       : target == SetDepth::Argb32 ? 54
                                                    : 86;
    ASSERT_EQ(int64_t(out.size()), fileLength(edge, bpp, header));
    EXPECT_EQ(out[0], 'B');
    EXPECT_EQ(out[1], 'M');
    EXPECT_EQ(read32(out, kFileSizeAt), out.size());
    EXPECT_EQ(read32(out, kPixelOffsetAt), uint32_t(header));
    EXPECT_EQ(read32(out, kInfoLengthAt), 40u);
    EXPECT_EQ(read32(out, kWidthAt), uint32_t(edge));
    EXPECT_EQ(read32(out, kHeightAt), uint32_t(edge));
    EXPECT_EQ(read16(out, 26), 1);
    EXPECT_EQ(read16(out, kBitsAt), bpp * 8);
    EXPECT_EQ(read32(out, kCompressionAt), bpp == 2 ? 3u : 0u);
    EXPECT_EQ(int64_t(read32(out, kImageSizeAt)), chainPixels(edge) * bpp);
    const size_t recordAt = bpp == 2 ? 66 : 1078;
    if (bpp == 2) {
        const bool is4444 = target == SetDepth::Argb4444;
        EXPECT_EQ(read32(out, 54) | uint64_t(read32(out, 58)) << 16 | uint64_t(read32(out, 62)) << 32,
                  is4444 ? 0x000F00F00F00u : 0x001F07E0F800u);
    }
    if (bpp == 2 || (bpp == 1 && sourceRecord)) {
        EXPECT_EQ(std::string(out.begin() + recordAt, out.begin() + recordAt + 4), "AVTX");
        EXPECT_EQ(read32(out, recordAt + 4), 20u);
        for (size_t i = 0; i < 12; ++i) EXPECT_EQ(out[recordAt + 8 + i], sourceRecord ? kRecordData[i] : 0) << i;
    }
}

class EveryDepth : public ::testing::TestWithParam<std::tuple<Form, SetDepth, int>> {};

TEST_P(EveryDepth, WritesTheLayoutAndKeepsThePixels) {
    const auto [form, target, edge] = GetParam();
    const Bytes out = convert(makeSource(form, edge), target);
    ASSERT_FALSE(out.empty());
    expectHeader(out, target, edge, formHasRecord(form));
    if (HasFailure()) return;

    const bool alphaKept = target != SetDepth::Rgb565;
    const int tolerance = step(form) + step(target);
    const auto near = [tolerance](int a, int b) { return std::abs(a - b) <= tolerance; };
    // In levels of 256 pixels or fewer a 16-bit pixel's colour also carries
    // what its neighbours' rounding missed: up to the widest step of either
    // depth in linear light, which moves dark bytes the furthest.
    const auto light = [](int v) {
        const double c = v / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    const auto widest = [&](int step) { return step == 0 ? 0.0 : light(255) - light(255 - step); };
    const double spread = widest(step(form)) + widest(step(target)) + 1e-9;
    const bool sixteen = target == SetDepth::Rgb565 || target == SetDepth::Argb4444;
    const auto nearColour = [&](int a, int b, int e) {
        return sixteen && e * e <= 256 ? std::abs(light(a) - light(b)) <= spread : near(a, b);
    };
    int mismatches = 0;
    std::string first;
    // The plain source has only its largest level; the rest are resampled.
    const int smallest = form == Form::Rgb24Plain ? edge : 1;
    for (int e = edge, levelIndex = 0; e >= smallest; e /= 2, ++levelIndex)
        for (int y = 0; y < e; ++y)
            for (int x = 0; x < e; ++x) {
                Rgba want = kColours[size_t(colourIndex(levelIndex, e, x, y))];
                if (!formHasAlpha(form)) want.a = 255;
                const Rgba got = pixelOf(out, target, edge, e, x, y);
                // A fully transparent pixel's colour is of no account in a palette.
                const bool colourCounts = !(target == SetDepth::Palette8 && want.a == 0);
                if ((colourCounts &&
                     !(nearColour(got.r, want.r, e) && nearColour(got.g, want.g, e) && nearColour(got.b, want.b, e))) ||
                    (alphaKept && !near(got.a, want.a)))
                    if (mismatches++ == 0)
                        first = "level " + std::to_string(e) + " (" + std::to_string(x) + "," + std::to_string(y) +
                                "): got " + std::to_string(got.r) + " " + std::to_string(got.g) + " " +
                                std::to_string(got.b) + " " + std::to_string(got.a);
            }
    EXPECT_EQ(mismatches, 0) << first;
}

INSTANTIATE_TEST_SUITE_P(
    SourcesAndTargets, EveryDepth,
    ::testing::Combine(::testing::Values(Form::Pal8, Form::Pal8Record, Form::Rgb565, Form::Argb4444, Form::Bgra32,
                                         Form::Rgb24Plain),
                       ::testing::Values(SetDepth::Palette8, SetDepth::Rgb565, SetDepth::Argb4444, SetDepth::Argb32),
                       ::testing::Values(256, 16)),
    ([](const auto& info) {
        static const char* forms[] = {"Pal8", "Pal8Record", "Rgb565", "Argb4444", "Bgra32", "Rgb24Plain"};
        static const char* targets[] = {"To8", "To565", "To4444", "To24", "To32"};
        return std::string(forms[int(std::get<0>(info.param))]) + targets[int(std::get<1>(info.param).form())] + "_" +
               std::to_string(std::get<2>(info.param));
    }));

TEST(SameDepth, KeepsEveryPixelByte) {
    const std::tuple<Form, SetDepth, int> cases[] = {{Form::Rgb565, SetDepth::Rgb565, 86},
                                                     {Form::Argb4444, SetDepth::Argb4444, 86},
                                                     {Form::Bgra32, SetDepth::Argb32, 54}};
    for (const auto& [form, target, header] : cases) {
        const Bytes source = makeSource(form, 64);
        const Bytes out = convert(source, target);
        ASSERT_EQ(out.size(), source.size());
        EXPECT_TRUE(std::equal(source.begin() + header, source.end(), out.begin() + header)) << int(form);
    }
    // An 8-bit set keeps its palette, levels, record and indices.
    const Bytes eight = makeSource(Form::Pal8Record, 32);
    const Bytes again = convert(eight, SetDepth::Palette8);
    ASSERT_EQ(again.size(), eight.size());
    EXPECT_TRUE(std::equal(eight.begin() + 54, eight.end(), again.begin() + 54));
}

TEST(Reading, EveryWordWidensAsTheImageLibraryReadsIt) {
    // Every word of both 16-bit forms in the largest level of a 256 set,
    // written out at 32 bits, and the same word as the set writer reads it
    // back: each field scaled to 0..255 and rounded.  Repeating a code's bits
    // would differ: red and blue code 3 and green code 11 are 25 and 45 here,
    // 24 and 44 that way.
    const auto widen = [](uint32_t code, int steps) { return int(std::lround(code * 255.0 / steps)); };
    ASSERT_EQ(widen(3, 31), 25);
    ASSERT_EQ(widen(11, 63), 45);
    for (Form form : {Form::Rgb565, Form::Argb4444}) {
        Bytes source = makeSource(form, 256);
        for (uint32_t w = 0; w < 65536; ++w) write16(source, 86 + 2 * size_t(w), uint16_t(w));
        const Bytes out = convert(source, SetDepth::Argb32);
        ASSERT_FALSE(out.empty());
        std::vector<uint8_t> setWriter(65536 * 4);
        quor::unpackLevel(form == Form::Rgb565 ? quor::PackedForm::Rgb565 : quor::PackedForm::Argb4444,
                          source.data() + 86, 65536, setWriter.data());
        for (uint32_t w = 0; w < 65536; ++w) {
            const uint8_t* p = out.data() + 54 + 4 * size_t(w);
            const int bgra[4] = {p[0], p[1], p[2], p[3]};
            const std::array<int, 4> want =
                form == Form::Rgb565
                    ? std::array<int, 4>{widen(w & 31, 31), widen(w >> 5 & 63, 63), widen(w >> 11, 31), 255}
                    : std::array<int, 4>{widen(w & 15, 15), widen(w >> 4 & 15, 15), widen(w >> 8 & 15, 15),
                                         widen(w >> 12, 15)};
            for (size_t c = 0; c < 4; ++c) ASSERT_EQ(bgra[c], want[c]) << "word " << w << " byte " << c;
            // The set writer's reading, red first; 5-6-5 has no alpha to read.
            const uint8_t* q = setWriter.data() + 4 * size_t(w);
            for (size_t c = 0; c < (form == Form::Rgb565 ? 3u : 4u); ++c)
                ASSERT_EQ(q[c == 3 ? 3 : 2 - c], want[c]) << "word " << w << " byte " << c << " (set writer)";
        }
    }
}

TEST(Alpha, SurvivesFourBitsAtNibblePrecision) {
    // Through 4-4-4-4 and back every alpha lands on a nibble's value within
    // one nibble step; in the largest level (too large to spread rounding)
    // on the nearest one.
    Bytes source = makeSource(Form::Bgra32, 32);
    for (size_t at = 54, i = 0; at < source.size(); at += 4, ++i) source[at + 3] = uint8_t(i * 7);
    const Bytes back = convert(convert(source, SetDepth::Argb4444), SetDepth::Argb32);
    ASSERT_EQ(back.size(), source.size());
    const size_t largestEnd = 54 + 4 * 32 * 32;
    for (size_t at = 57; at < source.size(); at += 4) {
        const int a = source[at], got = back[at];
        ASSERT_EQ(got % 17, 0) << at;
        ASSERT_LE(std::abs(got - a), 17) << at;
        if (at < largestEnd) {
            ASSERT_EQ(got, std::lround(a / 17.0) * 17) << at;
        }
    }
}

TEST(Alpha, ZeroFourthBytesAndZeroLevelsMeanOpaque) {
    Bytes thirtyTwo = makeSource(Form::Bgra32, 8);
    for (size_t at = 57; at < thirtyTwo.size(); at += 4) thirtyTwo[at] = 0;
    Bytes eight = makeSource(Form::Pal8, 8);
    for (size_t i = 0; i < 256; ++i) eight[57 + 4 * i] = 0;
    for (const Bytes& source : {thirtyTwo, eight}) {
        const Bytes out = convert(source, SetDepth::Argb4444);
        for (int64_t at = 86; at < int64_t(out.size()); at += 2) ASSERT_EQ(out[size_t(at) + 1] >> 4, 15) << at;
    }
}

TEST(MissingLevels, AreResampledFromTheLargest) {
    // A chain cut off inside the 4 level, of one flat colour: every level comes out that colour.
    Bytes source = makeSource(Form::Bgra32, 16);
    for (size_t at = 54; at < source.size(); at += 4) {
        source[at] = 40;
        source[at + 1] = 80;
        source[at + 2] = 160;
        source[at + 3] = 255;
    }
    source.resize(size_t(levelStart(16, 4, 4, 54) + 10));
    const Bytes out = convert(source, SetDepth::Rgb565);
    ASSERT_EQ(int64_t(out.size()), fileLength(16, 2, 86));
    for (int e = 16; e >= 1; e /= 2)
        EXPECT_EQ(read16(out, size_t(levelStart(16, e, 2, 86))), 19 << 11 | 20 << 5 | 5) << e;  // nearest codes

    // A plain 2x2 24-bit BMP pads its rows to four bytes.
    Bytes two = makeSource(Form::Rgb24Plain, 2);
    two.resize(54 + 16);
    const uint8_t rows[16] = {0, 0, 255, 0, 0, 255, 0, 0, 0, 0, 255, 0, 0, 255, 0, 0};
    std::copy(rows, rows + 16, two.begin() + 54);
    const Bytes red = convert(two, SetDepth::Argb32);
    ASSERT_EQ(red.size(), 54u + 5 * 4);
    for (size_t at = 54; at < red.size(); at += 4) EXPECT_EQ(read32(red, at), 0xFFFF0000u) << at;
}

TEST(Refusals, NameTheReason) {
    const Bytes good = makeSource(Form::Rgb565, 16);
    auto with = [&](size_t at, uint32_t value) {
        Bytes b = good;
        write32(b, at, value);
        return b;
    };
    Bytes garbage(5000);
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = uint8_t(i * 31 + 7);
    const std::pair<Bytes, std::string> cases[] = {
        {garbage, "BM"},
        {Bytes(good.begin(), good.begin() + 40), "too short"},
        {Bytes(good.begin(), good.begin() + 80), "truncated"},
        {Bytes(good.begin(), good.begin() + 200), "truncated"},
        {with(kHeightAt, 8), "16 x 8"},
        {with(kWidthAt, 24), "24 x 16"},
        {with(kWidthAt, 1024), "1024 x 16"},
        {with(kBitsAt, 4), "4 bits"},
        {with(kPixelOffsetAt, 60), "colour masks"},
    };
    for (const auto& [bytes, reason] : cases) {
        const xbm::ConvertResult result = xbm::convertBytes(bytes, ConvertOptions{SetDepth::Argb32, false});
        EXPECT_TRUE(result.bytes.empty());
        EXPECT_NE(result.error.find(reason), std::string::npos) << result.error;
        EXPECT_EQ(result.error.find('\n'), std::string::npos);
    }
}

TEST(Verify, AcceptsOnlyTheWholeSetAtItsDepth) {
    const Bytes out = convert(makeSource(Form::Pal8, 16), SetDepth::Rgb565);
    EXPECT_FALSE(xbm::verifyWritten(out, SetDepth::Rgb565, 16).has_value());
    EXPECT_TRUE(xbm::verifyWritten(out, SetDepth::Argb4444, 16).has_value());
    EXPECT_TRUE(xbm::verifyWritten(out, SetDepth::Rgb565, 32).has_value());
    EXPECT_TRUE(xbm::verifyWritten(Bytes(out.begin(), out.end() - 1), SetDepth::Rgb565, 16).has_value());
}

}  // namespace
