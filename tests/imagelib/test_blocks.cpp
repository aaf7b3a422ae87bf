// Block compression: decoding checked against blocks worked out by hand,
// encoding judged by the error of what it decodes to.
#include "blocks.h"
#include "quorimg.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace b = quor::blocks;

namespace {

using Texels = std::array<uint8_t, 64>;

Texels decode(b::Format f, std::vector<uint8_t> block) {
    Texels t{};
    b::decodeBlock(f, block.data(), t.data());
    return t;
}

std::array<int, 4> texel(const Texels& t, int i) { return {t[4 * i], t[4 * i + 1], t[4 * i + 2], t[4 * i + 3]}; }

// Smooth light with a little grain, as painted textures are; alpha a ramp when asked.
std::vector<uint8_t> painting(int edge, bool alpha, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> grain(-6, 6);
    std::vector<uint8_t> rgba;
    for (int y = 0; y < edge; ++y)
        for (int x = 0; x < edge; ++x) {
            const double u = double(x) / edge, v = double(y) / edge;
            const int r = int(128 + 100 * std::sin(6.3 * u + 1.0)) + grain(random);
            const int g = int(120 + 90 * std::cos(4.1 * v + 2.0 * u)) + grain(random);
            const int bl = int(60 + 150 * u * v) + grain(random);
            const int a = alpha ? int(255 * u) : 255;
            for (int c : {r, g, bl, a}) rgba.push_back(uint8_t(std::clamp(c, 0, 255)));
        }
    return rgba;
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (i % 4 == 3) continue;
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
        ++n;
    }
    return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / (sum / double(n)));
}

}  // namespace

// Each value below is the format's arithmetic done by hand.
TEST(BlockCodec, DecodesEveryFormAsTheFormatDefinesIt) {
    // BC1, colour0 > colour1: four colours, the middle two at thirds.
    // Red 0xF800 and blue 0x001F; indices 0,1,2,3 in the first row.
    Texels four = decode(b::Format::Bc1, {0x00, 0xF8, 0x1F, 0x00, 0xE4, 0, 0, 0});
    EXPECT_EQ(texel(four, 0), (std::array<int, 4>{255, 0, 0, 255}));
    EXPECT_EQ(texel(four, 1), (std::array<int, 4>{0, 0, 255, 255}));
    EXPECT_EQ(texel(four, 2), (std::array<int, 4>{170, 0, 85, 255}));
    EXPECT_EQ(texel(four, 3), (std::array<int, 4>{85, 0, 170, 255}));
    EXPECT_EQ(texel(four, 4), (std::array<int, 4>{255, 0, 0, 255}));
    // colour0 <= colour1: three colours and transparent black at index 3.
    Texels three = decode(b::Format::Bc1, {0x1F, 0x00, 0x00, 0xF8, 0xE4, 0, 0, 0});
    EXPECT_EQ(texel(three, 0), (std::array<int, 4>{0, 0, 255, 255}));
    EXPECT_EQ(texel(three, 2), (std::array<int, 4>{127, 0, 127, 255}));
    EXPECT_EQ(texel(three, 3), (std::array<int, 4>{0, 0, 0, 0}));
    // BC2: explicit 4-bit alpha, texel i's nibble; its colour block always four colours.
    std::vector<uint8_t> bc2 = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE, 0x1F, 0x00, 0x00, 0xF8, 0xE4, 0, 0, 0};
    Texels explicitAlpha = decode(b::Format::Bc2, bc2);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(texel(explicitAlpha, i)[3], i * 17) << i;
    EXPECT_EQ(texel(explicitAlpha, 3), (std::array<int, 4>{170, 0, 85, 51}));
    // BC3: alpha 255 and 0 give eight values at sevenths; indices 0..7 in texels 0..7.
    std::vector<uint8_t> bc3 = {255, 0, 0x88, 0xC6, 0xFA, 0, 0, 0, 0x00, 0xF8, 0x1F, 0x00, 0, 0, 0, 0};
    Texels eight = decode(b::Format::Bc3, bc3);
    const int sevenths[8] = {255, 0, 218, 182, 145, 109, 72, 36};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(texel(eight, i)[3], sevenths[i]) << i;
    // Alpha 0 then 255: six values at fifths, then 0 and 255.
    bc3[0] = 0;
    bc3[1] = 255;
    Texels six = decode(b::Format::Bc3, bc3);
    const int fifths[8] = {0, 255, 51, 102, 153, 204, 0, 255};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(texel(six, i)[3], fifths[i]) << i;
}

TEST(BlockCodec, EncodesWithinTheFormatsErrorAndKeepsTheFourColourForm) {
    for (int edge : {64, 2, 1}) {
        const std::vector<uint8_t> source = painting(edge, false, unsigned(edge));
        std::vector<uint8_t> blocks(size_t(_bcsize(edge, edge, QUOR_BC1)));
        ASSERT_TRUE(_bcencode(source.data(), edge, edge, QUOR_BC1, blocks.data(), int32_t(blocks.size())));
        // Opaque blocks never fall into the three-colour form, whose index 3
        // is transparent: colour0 > colour1, or equal with no index 3.
        for (size_t at = 0; at < blocks.size(); at += 8) {
            const unsigned c0 = blocks[at] | blocks[at + 1] << 8, c1 = blocks[at + 2] | blocks[at + 3] << 8;
            EXPECT_GE(c0, c1) << "block at " << at;
            if (c0 != c1) continue;
            for (size_t k = 4; k < 8; ++k)
                for (int s = 0; s < 8; s += 2) EXPECT_NE((blocks[at + k] >> s) & 3, 3);
        }
        std::vector<uint8_t> back(source.size());
        ASSERT_TRUE(
            _bcdecode(blocks.data(), int32_t(blocks.size()), edge, edge, QUOR_BC1, back.data(), int32_t(back.size())));
        // Four unrelated colours of a 2x2 level need not lie on one line.
        if (edge != 2) {
            EXPECT_GT(psnr(source, back), edge == 64 ? 35.0 : 40.0) << edge;
        }

        // The fit never does worse than stb_dxt's high-quality encoder, and
        // on painted texels does better.
        std::vector<uint8_t> base(blocks.size()), baseBack(source.size());
        ASSERT_TRUE(b::encodePicture(b::Format::Bc1, source.data(), edge, edge, base.data(), b::Quality::Base));
        b::decodePicture(b::Format::Bc1, base.data(), edge, edge, baseBack.data());
        if (edge == 64) EXPECT_GT(psnr(source, back), psnr(source, baseBack) + 0.1);
        else EXPECT_GE(psnr(source, back), psnr(source, baseBack));
    }
    // Too small a buffer, a bad format or size: refused, nothing written past.
    std::vector<uint8_t> rgba(64, 0), small(7, 0xAB);
    EXPECT_FALSE(_bcencode(rgba.data(), 4, 4, QUOR_BC1, small.data(), 7));
    EXPECT_FALSE(_bcencode(rgba.data(), 4, 4, QUOR_BC2, small.data(), 7));
    EXPECT_FALSE(_bcdecode(small.data(), 7, 4, 4, QUOR_BC1, rgba.data(), 64));
    EXPECT_EQ(_bcsize(0, 4, QUOR_BC1), 0);
    EXPECT_EQ(_bcsize(5, 5, QUOR_BC3), 4 * 16);
}

TEST(BlockCodec, Bc3KeepsAlphaAndBringsNoFringeFromHiddenTexels) {
    const int edge = 32;
    std::vector<uint8_t> source = painting(edge, true, 7);
    // A cut-out: the left half fully transparent black, the right half visible red.
    std::vector<uint8_t> cutout(size_t(edge) * edge * 4);
    for (int i = 0; i < edge * edge; ++i) {
        const bool visible = (i % edge) >= edge / 2 + 1;  // the edge falls inside a block
        const uint8_t px[4] = {uint8_t(visible ? 200 : 0), uint8_t(visible ? 30 : 0), uint8_t(visible ? 20 : 0),
                               uint8_t(visible ? 255 : 0)};
        std::copy(px, px + 4, cutout.begin() + 4 * i);
    }
    for (const auto* picture : {&source, &cutout}) {
        std::vector<uint8_t> blocks(size_t(_bcsize(edge, edge, QUOR_BC3))), back(picture->size());
        ASSERT_TRUE(_bcencode(picture->data(), edge, edge, QUOR_BC3, blocks.data(), int32_t(blocks.size())));
        ASSERT_TRUE(
            _bcdecode(blocks.data(), int32_t(blocks.size()), edge, edge, QUOR_BC3, back.data(), int32_t(back.size())));
        double alphaError = 0;
        for (size_t i = 3; i < back.size(); i += 4) alphaError += std::abs(int(back[i]) - int((*picture)[i]));
        EXPECT_LE(alphaError / (back.size() / 4), 1.0);
        if (picture != &cutout) continue;
        for (size_t i = 0; i < back.size(); i += 4) {
            if ((*picture)[i + 3] == 0) continue;
            EXPECT_NEAR(back[i], 200, 8) << i / 4;
            EXPECT_NEAR(back[i + 1], 30, 8) << i / 4;
        }
    }
}

namespace {

int widen(int code, int bits) { return bits == 5 ? (code << 3) | (code >> 2) : (code << 2) | (code >> 4); }

// The least squared error any BC1 block can have on 16 texels of one colour
// value v in a channel of `bits`, searched over every pair of codes.  All
// texels take one index; a third between two codes (equal codes included)
// reaches every value the codes themselves do.
int leastFlatError(int v, int bits) {
    int best = 1 << 30;
    for (int a = 0; a < (1 << bits); ++a)
        for (int c = 0; c < (1 << bits); ++c) {
            const int d = (2 * widen(a, bits) + widen(c, bits)) / 3 - v;
            best = std::min(best, 16 * d * d);
        }
    return best;
}

int blockError(const uint8_t* rgba, const Texels& back) {
    int sum = 0;
    for (int i = 0; i < 16; ++i)
        for (int c = 0; c < 3; ++c)
            sum += (rgba[4 * i + c] - back[size_t(4 * i + c)]) * (rgba[4 * i + c] - back[size_t(4 * i + c)]);
    return sum;
}

}  // namespace

TEST(BlockCodec, OneColourBlocksGetTheLeastErrorThereIs) {
    std::array<int, 256> five{}, six{};
    for (int v = 0; v < 256; ++v) five[size_t(v)] = leastFlatError(v, 5), six[size_t(v)] = leastFlatError(v, 6);
    for (int v = 0; v < 256; ++v)
        for (const std::array<int, 3>& colour :
             {std::array<int, 3>{v, v, v}, {v, 255 - v, (v * 7) % 256}, {(v * 3) % 256, v, 255 - v}}) {
            std::array<uint8_t, 64> rgba{};
            for (int i = 0; i < 16; ++i)
                for (int c = 0; c < 4; ++c) rgba[size_t(4 * i + c)] = uint8_t(c < 3 ? colour[size_t(c)] : 255);
            std::vector<uint8_t> block(8);
            b::encodeBlock(b::Format::Bc1, rgba.data(), block.data());
            const int least = five[size_t(colour[0])] + six[size_t(colour[1])] + five[size_t(colour[2])];
            EXPECT_EQ(blockError(rgba.data(), decode(b::Format::Bc1, block)), least)
                << colour[0] << "," << colour[1] << "," << colour[2];
        }
}

// Blocks made of a real block's four colours can be written back exactly;
// and a block's bytes never depend on the blocks encoded beside it.
TEST(BlockCodec, FindsBlocksThatFitExactlyAndEncodesEachOnItsOwn) {
    std::mt19937 random(11);
    const int count = 37;  // four groups of eight and a short one
    std::vector<uint8_t> picture(size_t(count) * 64);
    for (int k = 0; k < count; ++k) {
        std::vector<uint8_t> made(8);
        for (auto& byte : made) byte = uint8_t(random());
        if (made[1] < made[3] || (made[1] == made[3] && made[0] <= made[2])) std::swap(made[1], made[3]);
        const Texels t = decode(b::Format::Bc1, made);  // colour0 > colour1 (or equal): four colours
        // Block k sits at columns 4k..4k+3 of a 4-row strip.
        for (int i = 0; i < 16; ++i)
            std::copy_n(&t[size_t(4 * i)], 4,
                        &picture[(size_t(i / 4) * count * 4 + size_t(k) * 4 + size_t(i % 4)) * 4]);
    }
    std::vector<uint8_t> together(size_t(count) * 8);
    ASSERT_TRUE(b::encodePicture(b::Format::Bc1, picture.data(), count * 4, 4, together.data()));
    int exact = 0;
    for (int k = 0; k < count; ++k) {
        std::array<uint8_t, 64> rgba{};
        for (int i = 0; i < 16; ++i)
            std::copy_n(&picture[(size_t(i / 4) * count * 4 + size_t(k) * 4 + size_t(i % 4)) * 4], 4,
                        &rgba[size_t(4 * i)]);
        std::vector<uint8_t> alone(8);
        b::encodeBlock(b::Format::Bc1, rgba.data(), alone.data());
        EXPECT_EQ(std::vector<uint8_t>(together.begin() + 8 * k, together.begin() + 8 * k + 8), alone) << "block " << k;
        exact += blockError(rgba.data(), decode(b::Format::Bc1, alone)) == 0;
    }
    EXPECT_GE(exact, count * 9 / 10);
}
