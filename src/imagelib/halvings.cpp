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
    if (source.width <= 0 || source.height <= 0 || source.rgba.size() != source.pixelCount() * 4)
        throw std::invalid_argument("halvings: empty picture");
    Level top{source.width, source.height, std::vector<float>(source.pixelCount() * 4)};
    const uint8_t* in = source.rgba.data();
    float* out = top.light.data();
    for (size_t i = 0; i < source.pixelCount() * 4; i += 4) {
        const float alpha = in[i + 3] / 255.0f;
        out[i] = srgb::toLinear(in[i]) * alpha;
        out[i + 1] = srgb::toLinear(in[i + 1]) * alpha;
        out[i + 2] = srgb::toLinear(in[i + 2]) * alpha;
        out[i + 3] = alpha;
    }
    levels_.push_back(std::move(top));
}

const Halvings::Level& Halvings::halved(int steps) {
    while (int(levels_.size()) <= steps) {
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
    return levels_[size_t(steps)];
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
    for (size_t i = 0; i < out.rgba.size(); i += 4) {
        const float alpha = in[i + 3];
        // Fully transparent areas come out black, as the general resampler leaves them.
        const float unweight = alpha > 0.0f ? 1.0f / alpha : 0.0f;
        to[i] = srgb::fromLinear(in[i] * unweight);
        to[i + 1] = srgb::fromLinear(in[i + 1] * unweight);
        to[i + 2] = srgb::fromLinear(in[i + 2] * unweight);
        to[i + 3] = uint8_t(std::lround(std::clamp(alpha, 0.0f, 1.0f) * 255.0f));
        translucent |= to[i + 3] != 255;
    }
    out.hasAlpha = translucent;
    return out;
}

}  // namespace quor
