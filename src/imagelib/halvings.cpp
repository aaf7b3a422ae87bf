#include "halvings.h"

#include "srgb.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace quor {

namespace {

// Levels of this many pixels or fewer cannot average the rounding of their
// bytes away: a 1x1 level rounded channel by channel can be 1% off in light.
constexpr size_t kSmallLevel = 16;

double luminance(double red, double green, double blue) { return 0.2126 * red + 0.7152 * green + 0.0722 * blue; }

// Writes the bytes of one pixel of a small level: of the bytes within a
// step and a half of each channel, the mix whose luminance comes nearest the
// pixel's own plus what the pixels before it missed; of mixes about as near,
// the truest colour.  Gives back what this pixel misses in turn.
double roundKeepingLight(const srgb::Tables& tables, const float colour[3], double missed, uint8_t* out) {
    int first[3], count[3];
    for (size_t c = 0; c < 3; ++c) {
        int below = srgb::fromLinear(tables, colour[c]);  // the byte at or below
        if (below > 0 && tables.linear[size_t(below)] > colour[c]) --below;
        first[c] = std::max(below - 1, 0);
        count[c] = std::min(below + 2, 255) - first[c] + 1;
    }
    const double want = luminance(colour[0], colour[1], colour[2]) + missed;
    struct Mix {
        int bytes[3];
        double off, colourError;
    };
    Mix mixes[64];
    int n = 0;
    double nearest = INFINITY;
    for (int r = 0; r < count[0]; ++r)
        for (int g = 0; g < count[1]; ++g)
            for (int b = 0; b < count[2]; ++b) {
                Mix& mix = mixes[n++];
                const int steps[3] = {r, g, b};
                double light[3];
                mix.colourError = 0;
                for (size_t c = 0; c < 3; ++c) {
                    mix.bytes[c] = first[c] + steps[c];
                    light[c] = tables.linear[size_t(mix.bytes[c])];
                    mix.colourError += (light[c] - colour[c]) * (light[c] - colour[c]);
                }
                mix.off = std::abs(luminance(light[0], light[1], light[2]) - want);
                nearest = std::min(nearest, mix.off);
            }
    const Mix* chosen = nullptr;
    for (int m = 0; m < n; ++m)
        if (mixes[m].off <= nearest + 0.0002 * std::abs(want) + 1e-12 &&
            (!chosen || mixes[m].colourError < chosen->colourError))
            chosen = &mixes[m];
    for (size_t c = 0; c < 3; ++c) out[c] = uint8_t(chosen->bytes[c]);
    return want - luminance(tables.linear[size_t(chosen->bytes[0])], tables.linear[size_t(chosen->bytes[1])],
                            tables.linear[size_t(chosen->bytes[2])]);
}

}  // namespace

int Halvings::stepsTo(const Image& source, int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) return 0;
    for (int steps = 1; steps < 31; ++steps) {
        const int64_t w = int64_t(width) << steps, h = int64_t(height) << steps;
        if (w == source.width && h == source.height) return steps;
        if (w > source.width || h > source.height) break;
    }
    return 0;
}

Halvings::Halvings(const Image& source) : sourceBpp_(source.sourceBpp), fullColour_(!source.indexed) {
    if (source.width < 2 || source.height < 2 || source.width % 2 != 0 || source.height % 2 != 0 ||
        source.rgba.size() != source.pixelCount() * 4)
        throw std::invalid_argument("halvings: no even picture");
    // The first halving straight from the bytes: the source itself is never
    // held in floats.
    Level first{source.width / 2, source.height / 2, {}};
    first.light.resize(size_t(first.width) * size_t(first.height) * 4);
    const size_t row = size_t(source.width) * 4;
    const auto& linear = srgb::linearTable();
    for (int32_t y = 0; y < first.height; ++y) {
        const uint8_t* top = source.rgba.data() + size_t(2 * y) * row;
        const uint8_t* bottom = top + row;
        float* out = first.light.data() + size_t(y) * size_t(first.width) * 4;
        for (int32_t x = 0; x < first.width; ++x, top += 8, bottom += 8, out += 4) {
            const uint8_t* four[4] = {top, top + 4, bottom, bottom + 4};
            float sum[4] = {0, 0, 0, 0};
            for (const uint8_t* p : four) {
                const float alpha = p[3] * (1.0f / 255.0f);
                sum[0] += linear[p[0]] * alpha;
                sum[1] += linear[p[1]] * alpha;
                sum[2] += linear[p[2]] * alpha;
                sum[3] += alpha;
            }
            for (size_t c = 0; c < 4; ++c) out[c] = sum[c] * 0.25f;
        }
    }
    levels_.push_back(std::move(first));
}

const Halvings::Level& Halvings::halved(int steps) {
    // levels_[k] is the source halved k + 1 times.
    while (int(levels_.size()) < steps) {
        const Level& above = levels_.back();
        if (above.width % 2 != 0 || above.height % 2 != 0) throw std::invalid_argument("halvings: odd edge");
        Level next{above.width / 2, above.height / 2, {}};
        next.light.resize(size_t(next.width) * size_t(next.height) * 4);
        const size_t aboveRow = size_t(above.width) * 4;
        for (int32_t y = 0; y < next.height; ++y) {
            const float* top = above.light.data() + size_t(2 * y) * aboveRow;
            const float* bottom = top + aboveRow;
            float* out = next.light.data() + size_t(y) * size_t(next.width) * 4;
            for (int32_t x = 0; x < next.width; ++x, top += 8, bottom += 8, out += 4)
                for (size_t c = 0; c < 4; ++c) out[c] = (top[c] + top[c + 4] + bottom[c] + bottom[c + 4]) * 0.25f;
        }
        levels_.push_back(std::move(next));
    }
    return levels_[size_t(steps - 1)];
}

Image Halvings::level(int steps) {
    if (steps < 1) throw std::invalid_argument("halvings: no step");
    const Level& level = halved(steps);
    Image out;
    out.width = level.width;
    out.height = level.height;
    out.sourceBpp = sourceBpp_;
    out.rgba.resize(size_t(level.width) * size_t(level.height) * 4);
    bool translucent = false;
    const float* in = level.light.data();
    uint8_t* to = out.rgba.data();
    const srgb::Tables& tables = srgb::tables();
    // A palette picture's levels go back onto its palette, whose dithering
    // keeps each channel's light; only full-colour levels trade channels.
    const bool small = fullColour_ && out.pixelCount() <= kSmallLevel;
    double missed = 0;  // light the pixels so far came short of, in a small level
    for (size_t i = 0; i < out.rgba.size(); i += 4) {
        const float alpha = in[i + 3];
        // Fully transparent areas come out black, as the general resampler leaves them.
        const float unweight = alpha > 0.0f ? 1.0f / alpha : 0.0f;
        const float colour[3] = {in[i] * unweight, in[i + 1] * unweight, in[i + 2] * unweight};
        if (small && alpha > 0.0f) {
            missed = roundKeepingLight(tables, colour, missed, to + i);
        } else {
            for (size_t c = 0; c < 3; ++c) to[i + c] = srgb::fromLinear(tables, colour[c]);
        }
        to[i + 3] = uint8_t(std::lround(std::clamp(alpha, 0.0f, 1.0f) * 255.0f));
        translucent |= to[i + 3] != 255;
    }
    out.hasAlpha = translucent;
    return out;
}

}  // namespace quor
