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

// Where a level of light lies among the bytes, unrounded: between the two
// bytes whose light is around it, in proportion.
double bytePosition(double light) {
    static constexpr int kSteps = 16384;  // finer than the light between any two bytes
    static const std::array<uint8_t, kSteps + 1> below = [] {
        std::array<uint8_t, kSteps + 1> t{};
        size_t b = 0;
        for (size_t k = 0; k < t.size(); ++k) {
            while (b < 255 && byteLight()[b + 1] <= double(k) / kSteps) ++b;
            t[k] = uint8_t(b);
        }
        return t;
    }();
    const auto& table = byteLight();
    const double v = std::clamp(light, 0.0, 1.0);
    size_t b = below[size_t(v * kSteps)];
    if (b < 255 && table[b + 1] <= v) ++b;
    return b == 255 ? 255.0 : double(b) + (v - table[b]) / (table[b + 1] - table[b]);
}

// The codes of one field width and what they stand for.
struct Field {
    int steps = 0;
    std::array<uint8_t, 256> nearest{};  // byte -> nearest code
    std::array<uint8_t, 64> widened{};   // code -> byte, as the image library reads it
    std::array<bool, 256> onGrid{};      // the byte some reader makes of its code
    std::array<double, 64> light{};      // code -> linear light of its byte (colour)
    std::array<double, 64> level{};      // code -> its byte / 255 (alpha, linear already)
    std::array<uint8_t, 256> atOrBelow{};  // byte -> the highest code whose byte is not above it

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
            atOrBelow[size_t(v)] = uint8_t(widened[size_t(code)] <= v ? code : code - 1);
        }
    }

    // The codes whose values in `values` lie next below and above `value`
    // (found from its byte position); one code twice when the value is that
    // code's (or past either end).
    std::pair<int, int> bracket(const std::array<double, 64>& values, double value, double position) const {
        // Light computed in single precision still counts as on a code.
        constexpr double kSame = 1e-6;
        const int low = atOrBelow[size_t(std::clamp(position, 0.0, 255.0))];
        if (low < steps && values[size_t(low + 1)] - value <= kSame) return {low + 1, low + 1};
        if (low == steps || value - values[size_t(low)] <= kSame) return {low, low};
        return {low, low + 1};
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

const std::array<double, 64>& valuesOf(const Channel& ch) { return ch.colour ? ch.field->light : ch.field->level; }

// Spreads a level's rounding from texel to texel, channel by channel, so
// that each channel keeps its mean in light (alpha: its mean level).  A
// texel takes, in each channel, one of the two codes around its own value,
// the one nearer to that value plus what the texels before it missed: never
// more than one step from its own colour, whatever came before.
class Spread {
public:
    Spread(const std::array<Channel, 4>& channels, size_t count) : channels_(channels), count_(count) {
        double widest = 0, finest = 255;
        for (size_t c = 0; c < 3; ++c) {
            const double step = 255.0 / channels[c].field->steps;
            widest = std::max(widest, step);
            finest = std::min(finest, step);
        }
        // A grey put on the grid has its channels at most half the widest
        // step and half the finest apart; kept grey, they may lie apart by
        // the widest step and half the finest, both as near as can be.
        greyAt_ = int((widest + finest) / 2);
        greyLimit_ = int(widest + finest / 2);
    }

    // The codes of one texel from its values (light for colour, 0..1 for
    // alpha) and where they lie among the bytes.  `colourSeen`: a texel no
    // one sees hands on no colour error.  A texel whose colour channels lie
    // as near each other as a grey on the grid (and `mayBeGrey`) is kept
    // grey, so that rounding draws no tint into greys.
    void choose(const double (&value)[4], const double (&position)[4], bool colourSeen, bool mayBeGrey,
                int (&code)[4]) {
        const double lowest = std::min({position[0], position[1], position[2]});
        const double highest = std::max({position[0], position[1], position[2]});
        const bool grey = mayBeGrey && highest - lowest <= greyAt_;
        std::array<std::pair<int, int>, 4> around{};
        for (size_t c = 0; c < count_; ++c) {
            const Channel& ch = channels_[c];
            around[c] = ch.field->bracket(valuesOf(ch), value[c], position[c]);
            code[c] = nearer(c, value[c] + (ch.colour && !colourSeen ? 0.0 : missed_[c]), around[c]);
        }
        if (grey && colourSeen) keepGrey(value, around, code);
        for (size_t c = 0; c < count_; ++c) {
            if (channels_[c].colour && !colourSeen) continue;
            missed_[c] = value[c] + missed_[c] - valuesOf(channels_[c])[size_t(code[c])];
        }
    }

private:
    // The code of the two around a value nearer to `want`.
    int nearer(size_t c, double want, std::pair<int, int> around) const {
        const auto& values = valuesOf(channels_[c]);
        return want - values[size_t(around.first)] <= values[size_t(around.second)] - want ? around.first
                                                                                          : around.second;
    }

    int byteOf(size_t c, int code) const { return channels_[c].field->widened[size_t(code)]; }

    bool greyEnough(const int (&code)[4]) const {
        int low = 255, high = 0;
        for (size_t c = 0; c < 3; ++c) {
            low = std::min(low, byteOf(c, code[c]));
            high = std::max(high, byteOf(c, code[c]));
        }
        return high - low <= greyLimit_;
    }

    // When spreading the error pulled a grey texel's channels apart, it
    // takes of the codes around its values the ones that keep it grey and
    // come nearest to what the spreading wanted; when none do, the greyest.
    void keepGrey(const double (&value)[4], const std::array<std::pair<int, int>, 4>& around, int (&code)[4]) const {
        if (greyEnough(code)) return;
        int best[4] = {code[0], code[1], code[2], code[3]};
        double bestMiss = INFINITY;
        int bestSpread = 256;
        for (int pick = 0; pick < 8; ++pick) {
            int trial[4] = {code[0], code[1], code[2], code[3]};
            double miss = 0;
            int low = 255, high = 0;
            for (size_t c = 0; c < 3; ++c) {
                trial[c] = pick >> c & 1 ? around[c].second : around[c].first;
                const double off = value[c] + missed_[c] - valuesOf(channels_[c])[size_t(trial[c])];
                miss += off * off;
                low = std::min(low, byteOf(c, trial[c]));
                high = std::max(high, byteOf(c, trial[c]));
            }
            const int spread = std::max(high - low, greyLimit_);
            if (spread < bestSpread || (spread == bestSpread && miss < bestMiss)) {
                bestSpread = spread;
                bestMiss = miss;
                std::copy(trial, trial + 4, best);
            }
        }
        std::copy(best, best + 4, code);
    }

    const std::array<Channel, 4>& channels_;
    size_t count_;
    int greyAt_ = 0, greyLimit_ = 0;
    std::array<double, 4> missed_{};
};


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
    const bool anyFlat = std::find(flat.begin(), flat.begin() + std::ptrdiff_t(count), true) !=
                         flat.begin() + std::ptrdiff_t(count);
    Spread spread(channels, count);
    for (size_t i = 0; i < pixels; ++i) {
        const uint8_t* p = rgba + 4 * i;
        // A pixel as some reader widened it from these very codes goes back
        // to them, so a loaded set saves unchanged.
        bool onGrid = true;
        for (size_t c = 0; c < count; ++c) onGrid = onGrid && channels[c].field->onGrid[p[channels[c].source]];
        int code[4] = {};
        if (!onGrid) {
            double value[4] = {}, position[4] = {};
            for (size_t c = 0; c < count; ++c) {
                const uint8_t v = p[channels[c].source];
                value[c] = channels[c].colour ? byteLight()[v] : v / 255.0;
                position[c] = v;
            }
            spread.choose(value, position, true, !anyFlat, code);
        }
        unsigned word = startWord(i);
        for (size_t c = 0; c < count; ++c) {
            const Channel& ch = channels[c];
            if (onGrid || flat[c]) code[c] = ch.field->nearest[p[ch.source]];
            word |= unsigned(code[c]) << ch.shift;
        }
        putWord(out, i, word);
    }
}

void packLevelLight(PackedForm form, const float* light, size_t pixels, uint8_t* out) {
    size_t count = 0;
    const std::array<Channel, 4> channels = channelsOf(form, count);
    Spread spread(channels, count);
    for (size_t i = 0; i < pixels; ++i) {
        const float* t = light + 4 * i;
        double value[4] = {}, position[4] = {};
        for (size_t c = 0; c < count; ++c) {
            value[c] = std::clamp(double(t[channels[c].source]), 0.0, 1.0);
            position[c] = channels[c].colour ? bytePosition(value[c]) : value[c] * 255.0;
        }
        int code[4] = {};
        // A texel no one sees hands on no colour error: its colour is
        // filled in from the ones around it later.
        spread.choose(value, position, t[3] > 0.0f, true, code);
        unsigned word = 0;
        for (size_t c = 0; c < count; ++c) word |= unsigned(code[c]) << channels[c].shift;
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
