#include "halvings.h"

#include "srgb.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace quor {

int Halvings::stepsTo(const Image& source, int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) return 0;
    for (int steps = 1; steps < 31; ++steps) {
        const int64_t w = int64_t(width) << steps, h = int64_t(height) << steps;
        if (w == source.width && h == source.height) return steps;
        if (w > source.width || h > source.height) break;
    }
    return 0;
}

Halvings::Halvings(const Image& source) : sourceBpp_(source.sourceBpp) {
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
    for (size_t i = 0; i < out.rgba.size(); i += 4) {
        const float alpha = in[i + 3];
        // Fully transparent areas come out black, as the general resampler leaves them.
        const float unweight = alpha > 0.0f ? 1.0f / alpha : 0.0f;
        to[i] = srgb::fromLinear(tables, in[i] * unweight);
        to[i + 1] = srgb::fromLinear(tables, in[i + 1] * unweight);
        to[i + 2] = srgb::fromLinear(tables, in[i + 2] * unweight);
        to[i + 3] = uint8_t(std::lround(std::clamp(alpha, 0.0f, 1.0f) * 255.0f));
        translucent |= to[i + 3] != 255;
    }
    out.hasAlpha = translucent;
    return out;
}

}  // namespace quor
