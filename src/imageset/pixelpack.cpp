#include "pixelpack.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace corvane {
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
    std::array<uint8_t, 256> nearest{};   // byte -> nearest code
    std::array<uint8_t, 64> widened{};    // code -> byte, as the image library reads it
    std::array<bool, 256> onGrid{};       // the byte some reader makes of its code
    std::array<double, 64> light{};       // code -> linear light of its byte (colour)
    std::array<double, 64> level{};       // code -> its byte / 255 (alpha, linear already)

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

void packLevel(PackedForm form, const uint8_t* rgba, size_t pixels, uint8_t* out, const uint8_t* alphaNibbles,
               size_t alphaCount) {
    static const Field four(4), five(5), six(6);
    std::array<Channel, 4> channels{};
    size_t count = 3;
    const bool givenAlpha = form == PackedForm::Argb4444 && alphaNibbles != nullptr;
    if (form == PackedForm::Rgb565) {
        channels = {{{&five, 11, 0, true}, {&six, 5, 1, true}, {&five, 0, 2, true}, {}}};
    } else {
        channels = {{{&four, 8, 0, true}, {&four, 4, 1, true}, {&four, 0, 2, true}, {&four, 12, 3, false}}};
        if (!givenAlpha) count = 4;
    }
    // Nibbles from the alpha slot are taken as they stand; a short slot means opaque.
    const auto startWord = [&](size_t i) -> unsigned {
        if (!givenAlpha) return 0;
        return unsigned(i < alphaCount ? alphaNibbles[i] >> 4 : 15) << 12;
    };
    const auto put = [out](size_t i, unsigned word) {
        out[2 * i] = uint8_t(word);
        out[2 * i + 1] = uint8_t(word >> 8);
    };

    if (pixels > kSmallLevelPixels) {
        for (size_t i = 0; i < pixels; ++i) {
            unsigned word = startWord(i);
            for (size_t c = 0; c < count; ++c)
                word |= unsigned(channels[c].field->nearest[rgba[4 * i + channels[c].source]]) << channels[c].shift;
            put(i, word);
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
            if (!onGrid && !flat[c]) {
                const auto& values = ch.colour ? ch.field->light : ch.field->level;
                const double want = (ch.colour ? byteLight()[v] : v / 255.0) + missed[c];
                code = ch.field->closest(values, want);
                missed[c] = want - values[size_t(code)];
            }
            word |= unsigned(code) << ch.shift;
        }
        put(i, word);
    }
}

}  // namespace corvane
