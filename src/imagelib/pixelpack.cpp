#include "pixelpack.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace quor {
namespace {

// Linear light (0..1) of each sRGB byte.
const std::array<double, 256>& byteLight() {
    static const std::array<double, 256> light = [] {
        std::array<double, 256> t{};
        for (size_t i = 0; i < t.size(); ++i) {
            const double v = double(i) / 255.0;
            t[i] = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        }
        return t;
    }();
    return light;
}

// The codes of one field width and what they stand for.
struct Field {
    int steps = 0;
    std::array<uint8_t, 256> nearest{};  // byte -> nearest code
    std::array<uint8_t, 64> widened{};   // code -> byte, as the image library reads it
    std::array<bool, 256> onGrid{};      // the byte some reader makes of its code
    std::array<double, 64> light{};      // code -> linear light of its byte (colour)
    std::array<double, 64> level{};      // code -> its byte / 255 (alpha, linear already)

    explicit Field(int bits) : steps((1 << bits) - 1) {
        for (int code = 0; code <= steps; ++code) {
            widened[size_t(code)] = uint8_t((code * 255 + steps / 2) / steps);
            light[size_t(code)] = byteLight()[widened[size_t(code)]];
            level[size_t(code)] = widened[size_t(code)] / 255.0;
        }
        for (int v = 0; v < 256; ++v) {
            const int code = (v * steps + 127) / 255;
            nearest[size_t(v)] = uint8_t(code);
            // Readers that repeat the code's top bits into the low ones.
            const int repeated = code << (8 - bits) | code >> (2 * bits - 8);
            onGrid[size_t(v)] = v == widened[size_t(code)] || v == repeated;
        }
    }

    // The code whose value in `values` is nearest to `want`.
    int closest(const std::array<double, 64>& values, double want) const {
        const auto end = values.begin() + steps + 1;
        const int above = int(std::lower_bound(values.begin(), end, want) - values.begin());
        if (above == 0) return 0;
        if (above > steps) return steps;
        return want - values[size_t(above - 1)] <= values[size_t(above)] - want ? above - 1 : above;
    }
};

struct Channel {
    const Field* field;
    int shift;      // of the code in the word
    size_t source;  // byte of the rgba pixel
    bool colour;    // sRGB (spread in linear light), else alpha
};

}  // namespace

namespace {

std::array<Channel, 4> channelsOf(PackedForm form, size_t& count) {
    static const Field four(4), five(5), six(6);
    count = 3;
    if (form == PackedForm::Rgb565) return {{{&five, 11, 0, true}, {&six, 5, 1, true}, {&five, 0, 2, true}, {}}};
    count = 4;
    return {{{&four, 8, 0, true}, {&four, 4, 1, true}, {&four, 0, 2, true}, {&four, 12, 3, false}}};
}

void putWord(uint8_t* out, size_t i, unsigned word) {
    out[2 * i] = uint8_t(word);
    out[2 * i + 1] = uint8_t(word >> 8);
}

// The code whose light (or alpha), with what the pixels before it missed,
// comes nearest to `value`; what this one misses in turn is handed on.
int diffused(const Channel& ch, double value, double& missed) {
    const auto& values = ch.colour ? ch.field->light : ch.field->level;
    const double want = value + missed;
    const int code = ch.field->closest(values, want);
    missed = want - values[size_t(code)];
    return code;
}

// The sRGB byte nearest to a level of linear light.
uint8_t byteOfLight(double light) {
    const double v = std::clamp(light, 0.0, 1.0);
    const double encoded = v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
    return uint8_t(std::lround(encoded * 255.0));
}

}  // namespace

void packLevel(PackedForm form, const uint8_t* rgba, size_t pixels, uint8_t* out, const uint8_t* alphaNibbles,
               size_t alphaCount) {
    size_t count = 0;
    const std::array<Channel, 4> channels = channelsOf(form, count);
    const bool givenAlpha = form == PackedForm::Argb4444 && alphaNibbles != nullptr;
    if (givenAlpha) count = 3;
    // Nibbles from the alpha slot are taken as they stand; a short slot means opaque.
    const auto startWord = [&](size_t i) -> unsigned {
        if (!givenAlpha) return 0;
        return unsigned(i < alphaCount ? alphaNibbles[i] >> 4 : 15) << 12;
    };

    if (pixels > kSmallLevelPixels) {
        // Each channel's nearest code, already in its place in the word: a
        // table a channel.
        using Tables = std::array<std::array<uint16_t, 256>, 4>;
        const auto tablesOf = [](PackedForm f) {
            size_t n = 0;
            const std::array<Channel, 4> chs = channelsOf(f, n);
            Tables t{};
            for (size_t c = 0; c < n; ++c)
                for (size_t v = 0; v < 256; ++v) t[c][v] = uint16_t(chs[c].field->nearest[v] << chs[c].shift);
            return t;
        };
        static const Tables fiveSixFive = tablesOf(PackedForm::Rgb565),
                            fourFourFourFour = tablesOf(PackedForm::Argb4444);
        const Tables& t = form == PackedForm::Rgb565 ? fiveSixFive : fourFourFourFour;
        const bool ownAlpha = count == 4;
        for (size_t i = 0; i < pixels; ++i) {
            const uint8_t* p = rgba + 4 * i;
            unsigned word = startWord(i) | t[0][p[0]] | t[1][p[1]] | t[2][p[2]];
            if (ownAlpha) word |= t[3][p[3]];
            putWord(out, i, word);
        }
        return;
    }

    // A channel of one value has no detail to keep; spreading its rounding
    // would only draw a pattern the larger levels do not have.
    std::array<bool, 4> flat{};
    for (size_t c = 0; c < count; ++c) {
        flat[c] = true;
        for (size_t i = 1; i < pixels && flat[c]; ++i)
            flat[c] = rgba[4 * i + channels[c].source] == rgba[channels[c].source];
    }
    std::array<double, 4> missed{};
    for (size_t i = 0; i < pixels; ++i) {
        const uint8_t* p = rgba + 4 * i;
        // A pixel as some reader widened it from these very codes goes back
        // to them, so a loaded set saves unchanged.
        bool onGrid = true;
        for (size_t c = 0; c < count; ++c) onGrid = onGrid && channels[c].field->onGrid[p[channels[c].source]];
        unsigned word = startWord(i);
        for (size_t c = 0; c < count; ++c) {
            const Channel& ch = channels[c];
            const uint8_t v = p[ch.source];
            int code = ch.field->nearest[v];
            if (!onGrid && !flat[c]) code = diffused(ch, ch.colour ? byteLight()[v] : v / 255.0, missed[c]);
            word |= unsigned(code) << ch.shift;
        }
        putWord(out, i, word);
    }
}

void packLevelLight(PackedForm form, const float* light, size_t pixels, uint8_t* out) {
    size_t count = 0;
    const std::array<Channel, 4> channels = channelsOf(form, count);
    // The byte each value rounds to, as a level of bytes would hold it.
    const auto byteOf = [&](size_t i, const Channel& ch) {
        const double v = light[4 * i + ch.source];
        return ch.colour ? byteOfLight(v) : uint8_t(std::lround(std::clamp(v, 0.0, 1.0) * 255.0));
    };
    // Here a flat channel needs no rule of its own: light that is already a
    // code's (a level made from a largest level on the grid) hands on no
    // error, and any other light is best served by its nearest code in light.
    const bool small = pixels <= kSmallLevelPixels;
    std::array<double, 4> missed{};
    for (size_t i = 0; i < pixels; ++i) {
        // A texel no one sees hands on no colour error.
        const bool seen = light[4 * i + 3] > 0.0f;
        unsigned word = 0;
        for (size_t c = 0; c < count; ++c) {
            const Channel& ch = channels[c];
            int code = ch.field->nearest[byteOf(i, ch)];
            if (small && (seen || !ch.colour))
                code = diffused(ch, std::clamp(double(light[4 * i + ch.source]), 0.0, 1.0), missed[c]);
            word |= unsigned(code) << ch.shift;
        }
        putWord(out, i, word);
    }
}

const ByteMaps& nearestOnGrid(PackedForm form) {
    const auto mapsOf = [](PackedForm f) {
        size_t n = 0;
        const std::array<Channel, 4> chs = channelsOf(f, n);
        ByteMaps t{};
        for (size_t c = 0; c < 4; ++c)
            for (size_t v = 0; v < 256; ++v)
                t[c][v] = c < n ? chs[c].field->widened[chs[c].field->nearest[v]] : uint8_t(v);
        return t;
    };
    static const ByteMaps fiveSixFive = mapsOf(PackedForm::Rgb565), fourFourFourFour = mapsOf(PackedForm::Argb4444);
    return form == PackedForm::Rgb565 ? fiveSixFive : fourFourFourFour;
}

void snapLevel(PackedForm form, uint8_t* rgba, size_t pixels) {
    size_t count = 0;
    const std::array<Channel, 4> channels = channelsOf(form, count);
    if (pixels > kSmallLevelPixels) {
        // Each byte to its nearest code's: a table a channel, in one pass.
        const ByteMaps& t = nearestOnGrid(form);
        for (uint8_t* p = rgba; p < rgba + 4 * pixels; p += 4) {
            p[0] = t[0][p[0]];
            p[1] = t[1][p[1]];
            p[2] = t[2][p[2]];
            if (count == 4) p[3] = t[3][p[3]];
        }
        return;
    }
    std::vector<uint8_t> words(2 * pixels), grid(4 * pixels);
    packLevel(form, rgba, pixels, words.data());
    unpackLevel(form, words.data(), pixels, grid.data());
    for (size_t i = 0; i < pixels; ++i)
        for (size_t c = 0; c < count; ++c) rgba[4 * i + channels[c].source] = grid[4 * i + channels[c].source];
}

void unpackLevel(PackedForm form, const uint8_t* words, size_t pixels, uint8_t* rgba) {
    size_t count = 0;
    const std::array<Channel, 4> channels = channelsOf(form, count);
    // Written out per form (see channelsOf): a general loop over the
    // channels costs more than the lookups themselves.
    const uint8_t* red = channels[0].field->widened.data();
    const uint8_t* green = channels[1].field->widened.data();
    const uint8_t* blue = channels[2].field->widened.data();
    for (size_t i = 0; i < pixels; ++i) {
        const unsigned word = unsigned(words[2 * i] | words[2 * i + 1] << 8);
        uint8_t* p = rgba + 4 * i;
        if (form == PackedForm::Rgb565) {
            p[0] = red[word >> 11];
            p[1] = green[(word >> 5) & 63];
            p[2] = blue[word & 31];
            p[3] = 255;
        } else {
            p[0] = red[(word >> 8) & 15];
            p[1] = green[(word >> 4) & 15];
            p[2] = blue[word & 15];
            p[3] = red[word >> 12];
        }
    }
}

}  // namespace quor
