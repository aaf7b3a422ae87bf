// The 16-bit packer, judged by the image library's widening worked out here
// in floating point, and the two writers that share it.
#include "testsets.h"

#include "pixelpack.h"
#include "setcommands.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

using namespace corvane;
using namespace quor;
using namespace corvane::testing;

namespace {

// A code back to a byte the way the image library reads it.
int widen(int code, int bits) { return int(std::lround(code * 255.0 / ((1 << bits) - 1))); }
// The same by repeating the code's bits, as other readers do.
int repeat(int code, int bits) {
    int v = 0;
    for (int filled = 0; filled < 16; filled += bits) v = v << bits | code;
    return v >> (((16 + bits - 1) / bits) * bits - 8);
}

double light(double byte) {
    const double c = byte / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

std::vector<int> packWords(PackedForm form, const uint8_t* rgba, size_t pixels) {
    std::vector<uint8_t> out(2 * pixels, 0xAA);
    packLevel(form, rgba, pixels, out.data());
    std::vector<int> words(pixels);
    for (size_t i = 0; i < pixels; ++i) words[i] = out[2 * i] | out[2 * i + 1] << 8;
    return words;
}

// A set loaded into a workspace with the real image library and saved again.
Bytes saveThroughWorkspace(const Bytes& set) {
    Scratch scratch;
    QuorContext context{};
    QuorLibrary library(context);
    writeBytes(scratch.path("in.bmp"), set);
    const CommandOutcome loaded = loadExtended(scratch.path("in.bmp"), BitmapFilter, scratch.workspace, library, {});
    EXPECT_TRUE(loaded.ok) << loaded.error.toStdString();
    EXPECT_TRUE(saveSet(scratch.workspace, scratch.path("out.bmp")).ok);
    return readBytes(scratch.path("out.bmp"));
}

void fillLevel(Bytes& set, int largest, int edge, int headerLength, int red, int green, int blue) {
    const size_t at = size_t(layout::levelStart(largest, edge, 3, headerLength));
    for (size_t i = 0; i < size_t(edge) * size_t(edge); ++i) {
        set[at + 3 * i] = uint8_t(blue);
        set[at + 3 * i + 1] = uint8_t(green);
        set[at + 3 * i + 2] = uint8_t(red);
    }
}

}  // namespace

TEST(Packing, EveryCodeComesBackAndBothWritersGiveTheSameBytes) {
    // Every word of both forms, widened by either reader's rule, packs back
    // to itself: as one large level, and as levels of 256 pixels, where a
    // set that is loaded and saved must not change either.
    for (PackedForm form : {PackedForm::Rgb565, PackedForm::Argb4444}) {
        for (auto wide : {widen, repeat}) {
            std::vector<uint8_t> rgba(65536 * 4);
            for (int w = 0; w < 65536; ++w) {
                uint8_t* p = rgba.data() + 4 * w;
                if (form == PackedForm::Rgb565) {
                    p[0] = uint8_t(wide(w >> 11, 5));
                    p[1] = uint8_t(wide(w >> 5 & 63, 6));
                    p[2] = uint8_t(wide(w & 31, 5));
                    p[3] = uint8_t(w * 7);  // 5-6-5 has no alpha; this must not leak in
                } else {
                    p[0] = uint8_t(wide(w >> 8 & 15, 4));
                    p[1] = uint8_t(wide(w >> 4 & 15, 4));
                    p[2] = uint8_t(wide(w & 15, 4));
                    p[3] = uint8_t(wide(w >> 12, 4));
                }
            }
            const std::vector<int> large = packWords(form, rgba.data(), 65536);
            for (int w = 0; w < 65536; ++w) ASSERT_EQ(large[size_t(w)], w) << "form " << int(form);
            for (size_t start = 0; start < 65536; start += 256) {
                const std::vector<int> small = packWords(form, rgba.data() + 4 * start, 256);
                for (size_t i = 0; i < 256; ++i) ASSERT_EQ(small[i], int(start + i)) << "form " << int(form);
            }
        }
    }

    // One 24-bit set through the texture tool and through the set writer.
    // Its largest level is (200,100,50) throughout, whose nearest 5-6-5 code
    // is 24,25,6 (0xC326); the smaller levels hold assorted colours.
    const int edge = 32;
    Bytes set = makeSet(Form::Rgb24, edge);
    fillLevel(set, edge, edge, 54, 200, 100, 50);
    const Bytes saved = saveThroughWorkspace(set);
    ASSERT_EQ(saved.size(), size_t(layout::fileLength(edge, 2, 86)));
    for (size_t i = 0; i < size_t(edge * edge); ++i) ASSERT_EQ(layout::read16(saved, 86 + 2 * i), 0xC326) << i;

#ifndef XBMTOOL_PATH
    GTEST_SKIP() << "the texture tool is not part of this build";
#else
    QTemporaryDir dir;
    const QString toolFile = dir.filePath("tool.bmp");
    ASSERT_TRUE(writeBytes(toolFile, set));
    QProcess tool;
    tool.start(QStringLiteral(XBMTOOL_PATH), {"-565", toolFile});
    ASSERT_TRUE(tool.waitForFinished(60000));
    ASSERT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
    const Bytes converted = readBytes(toolFile);
    ASSERT_EQ(converted.size(), saved.size());
    EXPECT_TRUE(std::equal(saved.begin() + 86, saved.end(), converted.begin() + 86));
#endif
}

TEST(Packing, FlatColourKeepsOneCodeAndSmallLevelsKeepEachChannelsMean) {
    // A flat colour has one code at every level, the code each channel's
    // widening is nearest to in linear light.
    const int red = 152, green = 117, blue = 96;
    Bytes flat = makeSet(Form::Rgb24, 256);
    for (int e = 256; e >= 1; e /= 2) fillLevel(flat, 256, e, 54, red, green, blue);
    const auto nearestCode = [](int value, int bits) {
        int best = 0;
        for (int code = 1; code < 1 << bits; ++code)
            if (std::abs(light(widen(code, bits)) - light(value)) < std::abs(light(widen(best, bits)) - light(value)))
                best = code;
        return best;
    };
    const int code = nearestCode(red, 5) << 11 | nearestCode(green, 6) << 5 | nearestCode(blue, 5);
    const Bytes saved = saveThroughWorkspace(flat);
    ASSERT_EQ(saved.size(), size_t(layout::fileLength(256, 2, 86)));
    for (size_t at = 86; at < saved.size(); at += 2) ASSERT_EQ(layout::read16(saved, at), code) << at;

    // Small levels of a picture: in each channel the mean light of the packed
    // level is within half the widest step of that channel, over the number
    // of pixels, of the mean of the level itself.  Rounding every pixel to
    // its nearest code misses that by far.
    const int shifts565[3] = {11, 5, 0}, shifts4444[4] = {8, 4, 0, 12};
    int roundingMissed = 0;
    for (PackedForm form : {PackedForm::Rgb565, PackedForm::Argb4444}) {
        const int bits[4] = {form == PackedForm::Rgb565 ? 5 : 4, form == PackedForm::Rgb565 ? 6 : 4,
                             form == PackedForm::Rgb565 ? 5 : 4, 4};
        const size_t channels = form == PackedForm::Rgb565 ? 3 : 4;
        const auto value = [](size_t c, double byte) { return c == 3 ? byte / 255.0 : light(byte); };
        for (int e : {16, 8, 4, 2, 1}) {
            const size_t n = size_t(e) * size_t(e);
            std::vector<uint8_t> rgba(4 * n);
            for (size_t i = 0; i < n; ++i) {
                const int x = int(i) % e, y = int(i) / e;
                const int noise = int((i * 2654435761u + size_t(e) * 40503u) >> 20 & 31) - 16;
                const int v[4] = {40 + 170 * x / e + noise, 210 - 130 * y / e - noise / 2,
                                  70 + 50 * (x + y) / e + noise, 20 + 220 * (e - x) / e + noise};
                for (size_t c = 0; c < 4; ++c) rgba[4 * i + c] = uint8_t(std::clamp(v[c], 0, 255));
            }
            const std::vector<int> words = packWords(form, rgba.data(), n);
            for (size_t c = 0; c < channels; ++c) {
                const int shift = form == PackedForm::Rgb565 ? shifts565[c] : shifts4444[c];
                const int mask = (1 << bits[c]) - 1;
                double widestStep = 0;
                for (int code = 1; code <= mask; ++code)
                    widestStep =
                        std::max(widestStep, value(c, widen(code, bits[c])) - value(c, widen(code - 1, bits[c])));
                double want = 0, got = 0, rounded = 0;
                for (size_t i = 0; i < n; ++i) {
                    const int byte = rgba[4 * i + c];
                    want += value(c, byte) / double(n);
                    got += value(c, widen(words[i] >> shift & mask, bits[c])) / double(n);
                    rounded += value(c, widen(int(std::lround(byte * mask / 255.0)), bits[c])) / double(n);
                }
                const double bound = widestStep / 2 / double(n) + 1e-12;
                EXPECT_LE(std::abs(got - want), bound) << "form " << int(form) << " edge " << e << " channel " << c;
                roundingMissed += std::abs(rounded - want) > bound;
            }
        }
    }
    EXPECT_GT(roundingMissed, 5);  // the levels do test something
}

namespace {

// The 5-6-5 codes of a level held as light, worked out plainly from the rule
// packLevelLight follows (see pixelpack.h): each channel takes one of the two
// codes around its value (the one code whose light is within 1e-6 of it), the
// one nearer to the value plus what the texels before it missed; a grey whose
// codes would lie further apart than the widest step and half the finest
// takes of the codes around it the greyest, then the nearest.
std::vector<int> spreadInLight(const std::vector<float>& level) {
    const int bits[3] = {5, 6, 5}, shifts[3] = {11, 5, 0};
    std::vector<double> codeLight[3];
    for (size_t c = 0; c < 3; ++c)
        for (int code = 0; code < 1 << bits[c]; ++code) codeLight[c].push_back(light(widen(code, bits[c])));
    const auto byteBelow = [](double v) {
        int b = 0;
        while (b < 255 && light(b + 1) <= v) ++b;
        return b;
    };
    const double widest = 255.0 / 31, finest = 255.0 / 63;
    const int greyAt = int((widest + finest) / 2), greyLimit = int(widest + finest / 2);
    double missed[3] = {0, 0, 0};
    std::vector<int> words;
    for (size_t i = 0; i < level.size() / 4; ++i) {
        const float* t = level.data() + 4 * i;
        const double unweight = t[3] == 1.0f ? 1.0 : t[3] > 0.0f ? 1.0 / double(t[3]) : 0.0;
        const bool seen = !(t[3] <= 0.0f);
        double value[3], want[3];
        int low[3], high[3], code[3];
        for (size_t c = 0; c < 3; ++c) {
            value[c] = std::clamp(double(t[c]) * unweight, 0.0, 1.0);
            const auto& at = codeLight[c];
            const int top = int(at.size()) - 1;
            int k = 0;
            while (k < top && at[size_t(k) + 1] <= value[c]) ++k;
            if (k < top && at[size_t(k) + 1] - value[c] <= 1e-6) low[c] = high[c] = k + 1;
            else if (k == top || value[c] - at[size_t(k)] <= 1e-6) low[c] = high[c] = k;
            else low[c] = k, high[c] = k + 1;
            want[c] = value[c] + (seen ? missed[c] : 0.0);
            code[c] = want[c] - at[size_t(low[c])] <= at[size_t(high[c])] - want[c] ? low[c] : high[c];
        }
        const auto spreadOf = [&](const int(&codes)[3]) {
            int lo = 255, hi = 0;
            for (size_t c = 0; c < 3; ++c) {
                lo = std::min(lo, widen(codes[c], bits[c]));
                hi = std::max(hi, widen(codes[c], bits[c]));
            }
            return hi - lo;
        };
        const double lowest = std::min({value[0], value[1], value[2]});
        const double highest = std::max({value[0], value[1], value[2]});
        const bool grey =
            seen && highest - lowest <= greyAt / 112.0 && byteBelow(highest) - byteBelow(lowest) <= greyAt;
        if (grey && spreadOf(code) > greyLimit) {
            int best[3] = {code[0], code[1], code[2]}, bestSpread = 256;
            double bestMiss = INFINITY;
            for (int pick = 0; pick < 8; ++pick) {
                int trial[3];
                double miss = 0;
                for (size_t c = 0; c < 3; ++c) {
                    trial[c] = pick >> c & 1 ? high[c] : low[c];
                    const double off = want[c] - codeLight[c][size_t(trial[c])];
                    miss += off * off;
                }
                const int spread = std::max(spreadOf(trial), greyLimit);
                if (spread < bestSpread || (spread == bestSpread && miss < bestMiss)) {
                    bestSpread = spread;
                    bestMiss = miss;
                    std::copy(trial, trial + 3, best);
                }
            }
            std::copy(best, best + 3, code);
        }
        int word = 0;
        for (size_t c = 0; c < 3; ++c) {
            if (seen) missed[c] = want[c] - codeLight[c][size_t(code[c])];
            word |= code[c] << shifts[c];
        }
        words.push_back(word);
    }
    return words;
}

}  // namespace

TEST(Packing, LightSpreadsTexelByTexelAsTheRuleSays) {
    // Levels of light of every kind the chain hands the packer, each texel's
    // code checked against the rule worked out plainly above.
    const auto codeLightOf = [](size_t c, uint32_t pick) {
        const int bits = c == 1 ? 6 : 5;
        return float(light(widen(int(pick % (1u << bits)), bits)));
    };
    struct Case {
        const char* name;
        std::function<void(size_t i, uint32_t noise, float (&texel)[4])> texel;
    };
    const double unit = 1.0 / 4294967296.0;
    const std::vector<Case> cases = {
        {"photo-like, opaque",
         [&](size_t i, uint32_t noise, float(&t)[4]) {
             for (size_t c = 0; c < 3; ++c)
                 t[c] = float(std::pow((double(i % 64) / 64 + c * 0.2 + (noise >> (8 * c) & 255) / 2048.0) / 1.7, 2.2));
             t[3] = 1.0f;
         }},
        {"greys near one another",
         [&](size_t i, uint32_t noise, float(&t)[4]) {
             const double grey = double(i % 97) / 97;
             for (size_t c = 0; c < 3; ++c) t[c] = float(grey * grey + ((noise >> (8 * c) & 255) - 128) / 40000.0);
             t[3] = 1.0f;
         }},
        {"codes' own light, and a hair off it",
         [&](size_t i, uint32_t noise, float(&t)[4]) {
             for (size_t c = 0; c < 3; ++c) {
                 t[c] = codeLightOf(c, noise >> (5 * c));
                 if (i % 3 == 1) t[c] += float(((noise >> 20) % 41 - 20) * 1e-7);
             }
             t[3] = 1.0f;
         }},
        {"floats at the edges of a code's 1e-6, ulp by ulp",
         [&](size_t i, uint32_t noise, float(&t)[4]) {
             for (size_t c = 0; c < 3; ++c) {
                 const double edge =
                     double(codeLightOf(c, noise >> (5 * c))) + ((noise >> (16 + c)) & 1 ? 1e-6 : -1e-6);
                 float f = float(edge);
                 for (int ulps = int(i % 5) - 2; ulps != 0; ulps += ulps < 0 ? 1 : -1)
                     f = std::nextafter(f, ulps < 0 ? 0.0f : 2.0f);
                 t[c] = f;
             }
             t[3] = 1.0f;
         }},
        {"flat blocks of one code",
         [&](size_t i, uint32_t, float(&t)[4]) {
             for (size_t c = 0; c < 3; ++c) t[c] = codeLightOf(c, uint32_t(i / 37 * 7 + c));
             t[3] = 1.0f;
         }},
        {"translucent, hidden and beyond 0..1",
         [&](size_t i, uint32_t noise, float(&t)[4]) {
             const float alpha = i % 5 == 0 ? 0.0f : i % 5 == 1 ? 1.0f : float((noise & 0xFFFF) * unit * 65536.0);
             for (size_t c = 0; c < 3; ++c) t[c] = (float((noise >> (7 * c) & 511) / 400.0) - 0.1f) * alpha;
             if (i % 7 == 3) t[i % 3] = -0.0f;  // no light, with the sign bit set
             t[3] = alpha;
         }},
    };
    for (const Case& test : cases) {
        for (size_t texels : {size_t(1), size_t(64), size_t(1000), size_t(4096)}) {
            std::vector<float> level(4 * texels);
            uint32_t noise = 12345;
            for (size_t i = 0; i < texels; ++i) {
                noise = noise * 1664525u + 1013904223u;
                float t[4];
                test.texel(i, noise, t);
                std::copy(t, t + 4, level.begin() + std::ptrdiff_t(4 * i));
            }
            std::vector<uint8_t> out(2 * texels);
            packLevelLight(PackedForm::Rgb565, level.data(), texels, out.data());
            const std::vector<int> want = spreadInLight(level);
            for (size_t i = 0; i < texels; ++i)
                ASSERT_EQ(out[2 * i] | out[2 * i + 1] << 8, want[i])
                    << test.name << ", texel " << i << " of " << texels;
        }
    }
}
