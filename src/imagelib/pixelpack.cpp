#include "pixelpack.h"

#include <algorithm>
#include <array>
#include <bit>
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

// The highest byte whose light is not above a level of light: a table
// finer than the light between any two bytes, then one comparison.
class ByteBelow {
public:
    static const ByteBelow& table() {
        static const ByteBelow t;
        return t;
    }
    int operator()(double light) const {
        const double v = std::clamp(light, 0.0, 1.0);
        int b = below_[size_t(v * kSteps)];
        if (b < 255 && light_[size_t(b + 1)] <= v) ++b;
        return b;
    }

private:
    static constexpr int kSteps = 16384;
    ByteBelow() : light_(byteLight()) {
        size_t b = 0;
        for (size_t k = 0; k < below_.size(); ++k) {
            while (b < 255 && light_[b + 1] <= double(k) / kSteps) ++b;
            below_[k] = uint8_t(b);
        }
    }
    const std::array<double, 256>& light_;
    std::array<uint8_t, kSteps + 1> below_{};
};

// The codes of one field width and what they stand for.
struct Field {
    int steps = 0;
    std::array<uint8_t, 256> nearest{};    // byte -> nearest code
    std::array<uint8_t, 64> widened{};     // code -> byte, as the image library reads it
    std::array<bool, 256> onGrid{};        // the byte some reader makes of its code
    std::array<double, 64> light{};        // code -> linear light of its byte (colour)
    std::array<double, 64> level{};        // code -> its byte / 255 (alpha, linear already)
    std::array<uint8_t, 256> atOrBelow{};  // byte -> the highest code whose byte is not above it
    // Light k / kLightSteps -> the highest code whose light is not above it
    // (the steps are finer than the light between any two codes).
    static constexpr int kLightSteps = 4096;
    std::array<uint8_t, kLightSteps + 1> lightBelow{};

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
        int code = 0;
        for (size_t k = 0; k < lightBelow.size(); ++k) {
            while (code < steps && light[size_t(code + 1)] <= double(k) / kLightSteps) ++code;
            lightBelow[k] = uint8_t(code);
        }
    }

    // A guess at the code at or below a colour's light, and at or below an
    // alpha; either may be one off, which bracket() mends.
    int belowLight(double v) const { return lightBelow[size_t(v * kLightSteps)]; }
    int belowLevel(double v) const { return int(v * steps); }

    // The codes whose values in `values` lie next below and above `value`,
    // from a guess at the one below that is at most one off; one code twice
    // when the value is that code's (or past either end).
    std::pair<int, int> bracket(const std::array<double, 64>& values, double value, int guess) const {
        // Light computed in single precision still counts as on a code.
        constexpr double kSame = 1e-6;
        int low = std::clamp(guess, 0, steps);
        if (low < steps && values[size_t(low + 1)] <= value) ++low;
        else if (low > 0 && values[size_t(low)] > value) --low;
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
    // How a texel is rounded: its nearest codes, handing nothing on; by
    // spreading, as a grey; by spreading, not a grey; by spreading its alpha
    // only (no one sees its colour).
    enum class How { Nearest, Spread, NotGrey, Unseen };

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

    // How far apart, in bytes, the channels of a grey put on the grid lie
    // at most: texels nearer than that are greys to keep grey.
    int greyAt() const { return greyAt_; }
    int greyLimit() const { return greyLimit_; }

    // The codes of `pixels` texels in turn.  texel(i, value, below) fills in
    // texel i's values (light for colour, 0..1 for alpha) and guesses at the
    // codes at or below them (see Field), and tells how it is rounded;
    // take(i, code, spread) takes its codes.  What a texel misses is handed
    // on to the next, channel by channel; a grey (How::Spread) is kept grey,
    // so that rounding draws no tint into greys.
    template <typename Texel, typename Take>
    void run(size_t pixels, Texel&& texel, Take&& take) const {
        if (count_ == 3) runWith<3>(pixels, texel, take);
        else runWith<4>(pixels, texel, take);
    }

private:
    // The same with the number of channels fixed, so that the loops over
    // them unroll.
    template <size_t kCount, typename Texel, typename Take>
    void runWith(size_t pixels, Texel& texel, Take& take) const {
        // Held here, where no store through bytes can be them: read once,
        // not again for every texel.
        const std::array<Channel, 4> channels = channels_;
        double missed[4] = {0, 0, 0, 0};
        for (size_t i = 0; i < pixels; ++i) {
            double value[4] = {};
            int below[4] = {}, code[4] = {};
            const How how = texel(i, value, below);
            if (how == How::Nearest) {
                take(i, code, false);
                continue;
            }
            const bool colourSeen = how != How::Unseen;
            std::array<std::pair<int, int>, 4> around{};
            double want[4] = {};
            for (size_t c = 0; c < kCount; ++c) {
                const Channel& ch = channels[c];
                const auto& values = valuesOf(ch);
                // The pair is taken from the call, not read back from `around`
                // (two narrow stores read as one wide load stall the processor).
                const auto [low, high] = ch.field->bracket(values, value[c], below[c]);
                around[c] = {low, high};
                want[c] = value[c] + (ch.colour && !colourSeen ? 0.0 : missed[c]);
                code[c] = want[c] - values[size_t(low)] <= values[size_t(high)] - want[c] ? low : high;
            }
            if (how == How::Spread && !greyEnough(code)) keepGrey(want, around, code);
            for (size_t c = 0; c < kCount; ++c)
                if (colourSeen || !channels[c].colour) missed[c] = want[c] - valuesOf(channels[c])[size_t(code[c])];
            take(i, code, true);
        }
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
    void keepGrey(const double (&want)[4], const std::array<std::pair<int, int>, 4>& around, int (&code)[4]) const {
        int best[4] = {code[0], code[1], code[2], code[3]};
        double bestMiss = INFINITY;
        int bestSpread = 256;
        for (int pick = 0; pick < 8; ++pick) {
            int trial[4] = {code[0], code[1], code[2], code[3]};
            double miss = 0;
            int low = 255, high = 0;
            for (size_t c = 0; c < 3; ++c) {
                trial[c] = pick >> c & 1 ? around[c].second : around[c].first;
                const double off = want[c] - valuesOf(channels_[c])[size_t(trial[c])];
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
    const bool anyFlat =
        std::find(flat.begin(), flat.begin() + std::ptrdiff_t(count), true) != flat.begin() + std::ptrdiff_t(count);
    Spread spread(channels, count);
    spread.run(
        pixels,
        [&](size_t i, double(&value)[4], int(&below)[4]) {
            const uint8_t* p = rgba + 4 * i;
            // A pixel as some reader widened it from these very codes goes
            // back to them, so a loaded set saves unchanged.
            bool onGrid = true;
            for (size_t c = 0; c < count; ++c) onGrid = onGrid && channels[c].field->onGrid[p[channels[c].source]];
            if (onGrid) return Spread::How::Nearest;
            for (size_t c = 0; c < count; ++c) {
                const uint8_t v = p[channels[c].source];
                below[c] = channels[c].field->atOrBelow[v];
                value[c] = channels[c].colour ? byteLight()[v] : v / 255.0;
            }
            const int grey = std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]});
            return !anyFlat && grey <= spread.greyAt() ? Spread::How::Spread : Spread::How::NotGrey;
        },
        [&](size_t i, int(&code)[4], bool spread) {
            const uint8_t* p = rgba + 4 * i;
            unsigned word = startWord(i);
            for (size_t c = 0; c < count; ++c) {
                const Channel& ch = channels[c];
                if (!spread || flat[c]) code[c] = ch.field->nearest[p[ch.source]];
                word |= unsigned(code[c]) << ch.shift;
            }
            putWord(out, i, word);
        });
}

namespace {

// packLevelLight for 5-6-5, every level of a chain below its largest: the same
// decisions as Spread makes, in the same arithmetic, written out for three
// colour channels so that a texel takes a few dozen instructions rather than
// hundreds.  The light of the codes ends in a code that is never reached, of
// infinite light, so that the codes around a value are found without asking
// whether they lie at either end.
class LightSpread565 {
public:
    static const LightSpread565& instance(const std::array<Channel, 4>& channels, const Spread& spread) {
        static const LightSpread565 s(channels, spread);
        return s;
    }

    void run(const float* light, size_t pixels, uint8_t* out) const {
        const ByteBelow& byteBelow = ByteBelow::table();
        double missed[3] = {0, 0, 0};
        // A stretch of texels at a time in two passes: first what each texel
        // alone decides, which the processor can work on many texels at
        // once; then the chain from texel to texel, which it cannot.
        constexpr size_t kStretch = 64;
        Texel stretch[kStretch];
        for (size_t from = 0; from < pixels; from += kStretch) {
            const size_t count = std::min(kStretch, pixels - from);
            for (size_t k = 0; k < count; ++k) classify(light + 4 * (from + k), byteBelow, stretch[k]);
            for (size_t k = 0; k < count; ++k) {
                const Texel& t = stretch[k];
                // What the texels before missed, the code nearer to the value
                // plus that, and what this one misses in turn.
                double want[3], missing[3];
                int code[3];
#pragma GCC unroll 3
                for (size_t c = 0; c < 3; ++c) {
                    want[c] = t.value[c] + (t.seen ? missed[c] : 0.0);
                    const double under = want[c] - light_[c][t.low[c]], over = light_[c][t.high[c]] - want[c];
                    // Picked by index, not by a branch: which code a texel
                    // takes is as good as a coin's toss to the processor.
                    const size_t toLow = under <= over;
                    const int codes[2] = {t.high[c], t.low[c]};
                    const double misses[2] = {-over, under};  // want - the code's light, exactly
                    code[c] = codes[toLow];
                    missing[c] = misses[toLow];
                }
                if (t.grey && !greyEnough(code)) {
                    const int low[3] = {t.low[0], t.low[1], t.low[2]}, high[3] = {t.high[0], t.high[1], t.high[2]};
                    keepGrey(want, low, high, code);
#pragma GCC unroll 3
                    for (size_t c = 0; c < 3; ++c) missing[c] = want[c] - light_[c][code[c]];
                }
                if (t.seen)
#pragma GCC unroll 3
                    for (size_t c = 0; c < 3; ++c) missed[c] = missing[c];
                const unsigned word = unsigned(code[0]) << 11 | unsigned(code[1]) << 5 | unsigned(code[2]);
                out[2 * (from + k)] = uint8_t(word);
                out[2 * (from + k) + 1] = uint8_t(word >> 8);
            }
        }
    }

private:
    // As Field::bracket counts light computed in single precision as on a code.
    static constexpr double kSame = 1e-6;

    // What a texel alone decides: its values, the codes around each, whether
    // anyone sees it and whether it is a grey to keep grey.
    struct Texel {
        double value[3];
        uint8_t low[3], high[3];
        bool seen, grey;
    };

    void classify(const float* light, const ByteBelow& byteBelow, Texel& t) const {
        const float alpha = light[3];
        if (alpha == 1.0f) {
            // Opaque: a value is its light as it stands, a float, and the
            // codes around most floats come from one look in a table.
#pragma GCC unroll 3
            for (size_t c = 0; c < 3; ++c) {
                const float f = light[c];
                const double v = std::clamp(double(f), 0.0, 1.0);
                t.value[c] = v;
                // The table holds the floats from +0 to 1; -0, NaN and the rest
                // lie outside it as bits.
                const uint16_t around =
                    std::bit_cast<uint32_t>(f) <= std::bit_cast<uint32_t>(1.0f) ? aroundFloat(kTableOf[c], f) : kLook;
                if (around == kLook) {
                    bracket(c, v, t.low[c], t.high[c]);
                } else {
                    t.low[c] = uint8_t(around & 63);
                    t.high[c] = uint8_t(around >> 6);
                }
            }
        } else {
            const double unweight = alpha > 0.0f ? 1.0 / double(alpha) : 0.0;
            for (size_t c = 0; c < 3; ++c) {
                t.value[c] = std::clamp(double(light[c]) * unweight, 0.0, 1.0);
                bracket(c, t.value[c], t.low[c], t.high[c]);
            }
        }
        // A texel no one sees hands on no colour error and takes none.
        t.seen = !(alpha <= 0.0f);
        t.grey = t.seen && grey(t.value, byteBelow);
    }

    // Field::bracket, from the same guess.  Which way the guess is off
    // follows the picture, not a pattern a branch predictor could learn, so
    // every choice here is arithmetic.
    void bracket(size_t c, double v, uint8_t& low, uint8_t& high) const {
        const double* values = light_[c];
        int at = below_[c][size_t(v * Field::kLightSteps)];
        // The guess is at most one off.
        const int up = values[at + 1] <= v;
        const int down = (1 - up) & int(at > 0) & int(values[at] > v);
        at += up - down;
        const int toHigh = values[at + 1] - v <= kSame;
        const int onLow = int(at == steps_[c]) | int(v - values[at] <= kSame);
        low = uint8_t(at + toHigh);
        high = uint8_t(at + 1 - ((1 - toHigh) & onLow));
    }

    LightSpread565(const std::array<Channel, 4>& channels, const Spread& spread)
        : greyAt_(spread.greyAt()), greyLimit_(spread.greyLimit()), greyLight_(spread.greyAt() / 112.0) {
        for (size_t c = 0; c < 3; ++c) {
            const Field& field = *channels[c].field;
            steps_[c] = field.steps;
            below_[c] = field.lightBelow.data();
            widened_[c] = field.widened.data();
            std::fill(std::begin(table_[c]), std::end(table_[c]), INFINITY);
            std::copy_n(field.light.begin(), field.steps + 1, table_[c]);
            light_[c] = table_[c];
        }
        // The codes around every float of 0..1, a range of floats at a time.
        // Both codes only grow with the light, so a range whose first and
        // last floats have the same codes has them throughout; one that
        // holds where they change keeps the floats at which they do, found
        // by halving, for at most two changes.
        for (size_t table = 0; table < 2; ++table) {
            const size_t c = table;  // channel 0 has five bits, channel 1 six
            const auto around = [&](uint32_t bits) {
                uint8_t low = 0, high = 0;
                bracket(c, double(std::bit_cast<float>(bits)), low, high);
                return uint16_t(low | high << 6);
            };
            // The first float of first..last whose codes are not those of `first`.
            const auto change = [&](uint32_t first, uint32_t last) {
                const uint16_t was = around(first);
                while (first < last) {
                    const uint32_t middle = first + (last - first) / 2;
                    if (around(middle) == was) first = middle + 1;
                    else last = middle;
                }
                return first;
            };
            const uint32_t one = std::bit_cast<uint32_t>(1.0f);
            byFloat_[table].resize((one >> kFloatShift) + 1);
            std::vector<uint16_t> constant(1 << 12);  // codes -> 1 + their record, or 0
            for (uint32_t j = 0; j < byFloat_[table].size(); ++j) {
                const uint32_t first = j << kFloatShift, last = std::min(one, ((j + 1) << kFloatShift) - 1);
                Changes changes;
                if (around(first) == around(last)) {
                    // One pair throughout, kept once for every range that has it.
                    const uint16_t codes = around(first);
                    changes.at[0] = changes.at[1] = UINT32_MAX;
                    std::fill(std::begin(changes.codes), std::end(changes.codes), codes);
                    uint16_t& kept = constant[codes];
                    if (kept == 0) {
                        kept = uint16_t(changes_[table].size() + 1);
                        changes_[table].push_back(changes);
                    }
                    byFloat_[table][j] = uint16_t(kept - 1);
                    continue;
                }
                changes.at[0] = change(first, last);
                changes.at[1] = change(changes.at[0], last);
                changes.codes[0] = around(first);
                changes.codes[1] = around(changes.at[0]);
                changes.codes[2] = around(changes.at[1]) == around(last) ? around(last) : kLook;
                byFloat_[table][j] = uint16_t(changes_[table].size());
                changes_[table].push_back(changes);
            }
        }
    }

    // The codes around a float of 0..1 (low | high << 6), or kLook.  One
    // way for every range, whether the codes change within it or not: which
    // kind a texel meets is no pattern a branch predictor could learn.
    uint16_t aroundFloat(size_t table, float f) const {
        const uint32_t bits = std::bit_cast<uint32_t>(f);
        const Changes& changes = changes_[table][byFloat_[table][bits >> kFloatShift]];
        return changes.codes[int(bits >= changes.at[0]) + int(bits >= changes.at[1])];
    }

    // Whether a seen texel is a grey to keep grey (as packLevelLight tells).
    bool grey(const double (&value)[3], const ByteBelow& byteBelow) const {
        const double lowest = std::min({value[0], value[1], value[2]});
        const double highest = std::max({value[0], value[1], value[2]});
        if (highest - lowest > greyLight_) return false;
        return byteBelow(highest) - byteBelow(lowest) <= greyAt_;
    }

    bool greyEnough(const int (&code)[3]) const {
        const int r = widened_[0][code[0]], g = widened_[1][code[1]], b = widened_[2][code[2]];
        return std::max({r, g, b}) - std::min({r, g, b}) <= greyLimit_;
    }

    // Spread::keepGrey over three channels.
    void keepGrey(const double (&want)[3], const int (&low)[3], const int (&high)[3], int (&code)[3]) const {
        int best[3] = {code[0], code[1], code[2]};
        double bestMiss = INFINITY;
        int bestSpread = 256;
        for (int pick = 0; pick < 8; ++pick) {
            int trial[3];
            double miss = 0;
            int lowest = 255, highest = 0;
            for (size_t c = 0; c < 3; ++c) {
                trial[c] = pick >> c & 1 ? high[c] : low[c];
                const double off = want[c] - light_[c][trial[c]];
                miss += off * off;
                lowest = std::min(lowest, int(widened_[c][trial[c]]));
                highest = std::max(highest, int(widened_[c][trial[c]]));
            }
            const int spread = std::max(highest - lowest, greyLimit_);
            if (spread < bestSpread || (spread == bestSpread && miss < bestMiss)) {
                bestSpread = spread;
                bestMiss = miss;
                std::copy(trial, trial + 3, best);
            }
        }
        std::copy(best, best + 3, code);
    }

    int greyAt_, greyLimit_;
    double greyLight_;
    int steps_[3] = {};
    const uint8_t* below_[3] = {};
    const uint8_t* widened_[3] = {};
    const double* light_[3] = {};
    double table_[3][65] = {};
    // Floats of 0..1 by their top bits -> the record of the codes around
    // them, low | high << 6.
    static constexpr int kFloatShift = 14;
    static constexpr uint16_t kLook = 0xFFFF;         // work the codes out from the light
    static constexpr size_t kTableOf[3] = {0, 1, 0};  // five bits, six, five
    // The codes around the floats of a range: before at[0] they are
    // codes[0], then codes[1], from at[1] on codes[2].
    struct Changes {
        uint32_t at[2] = {};
        uint16_t codes[3] = {};
    };
    std::vector<uint16_t> byFloat_[2];
    std::vector<Changes> changes_[2];
};


}  // namespace

void packLevelLight(PackedForm form, const float* light, size_t pixels, uint8_t* out) {
    size_t count = 0;
    const std::array<Channel, 4> channels = channelsOf(form, count);
    Spread spread(channels, count);
    if (form == PackedForm::Rgb565) {
        LightSpread565::instance(channels, spread).run(light, pixels, out);
        return;
    }
    const ByteBelow& byteBelow = ByteBelow::table();
    // Bytes lie at least 112 apart for each unit of light between them (the
    // sRGB curve is nowhere flatter than at white: 1.055 / 2.4 x 255), so a
    // texel whose light spreads wider than greyAt / 112 is no grey.
    const double greyLight = spread.greyAt() / 112.0;
    const auto texel = [&](size_t i, double(&value)[4], int(&below)[4]) {
        const float* t = light + 4 * i;
        const double unweight = t[3] == 1.0f ? 1.0 : t[3] > 0.0f ? 1.0 / double(t[3]) : 0.0;
        for (size_t c = 0; c < count; ++c) {
            value[c] = std::clamp(double(t[channels[c].source]) * (channels[c].colour ? unweight : 1.0), 0.0, 1.0);
            below[c] =
                channels[c].colour ? channels[c].field->belowLight(value[c]) : channels[c].field->belowLevel(value[c]);
        }
        // A texel no one sees hands on no colour error: its colour is
        // filled in from the ones around it later.
        if (t[3] <= 0.0f) return Spread::How::Unseen;
        const double lowest = std::min({value[0], value[1], value[2]});
        const double highest = std::max({value[0], value[1], value[2]});
        if (highest - lowest > greyLight) return Spread::How::NotGrey;
        return byteBelow(highest) - byteBelow(lowest) <= spread.greyAt() ? Spread::How::Spread : Spread::How::NotGrey;
    };
    const auto take = [&](size_t i, int(&code)[4], bool) {
        unsigned word = 0;
        for (size_t c = 0; c < count; ++c) word |= unsigned(code[c]) << channels[c].shift;
        putWord(out, i, word);
    };
    spread.run(pixels, texel, take);
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
