#include "halvings.h"

#include "pixelpack.h"
#include "srgb.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

namespace quor {

namespace {

// The byte whose linear light is nearest to `level`.
uint8_t nearestInLight(const srgb::Tables& tables, double level) {
    const int guess = srgb::fromLinear(tables, float(level));  // nearest in sRGB: at most one off
    int best = guess;
    for (int b = std::max(guess - 1, 0); b <= std::min(guess + 1, 255); ++b)
        if (std::abs(tables.linear[size_t(b)] - level) < std::abs(tables.linear[size_t(best)] - level)) best = b;
    return uint8_t(best);
}

}  // namespace

Image bytesOfLight(int32_t width, int32_t height, const float* light, Rounding rounding) {
    Image out;
    out.width = width;
    out.height = height;
    out.rgba.resize(out.pixelCount() * 4);
    const srgb::Tables& tables = srgb::tables();
    const bool diffuse = rounding != Rounding::Nearest && out.pixelCount() <= kDiffusedPixels;
    // What the texels so far came short of, per channel; colour as light,
    // alpha in bytes.  A transparent texel neither takes nor hands on any:
    // its colour is filled in below.
    double missed[3] = {0, 0, 0}, alphaMissed = 0;
    bool translucent = false;
    uint8_t* to = out.rgba.data();
    // An opaque texel (alpha exactly 1, as every texel of a 24-bit picture)
    // needs neither the alpha's rounding nor unweighting: what the general
    // steps below make of it, without them.
    const bool onGrid = roundsOntoGrid(rounding);
    for (size_t i = 0; i < out.rgba.size(); i += 4) {
        if (!diffuse && light[i + 3] == 1.0f) {
            if (!onGrid) {
                to[i] = srgb::fromLinear(tables, light[i]);
                to[i + 1] = srgb::fromLinear(tables, light[i + 1]);
                to[i + 2] = srgb::fromLinear(tables, light[i + 2]);
            }
            to[i + 3] = 255;
            continue;
        }
        const float alpha = std::clamp(light[i + 3], 0.0f, 1.0f);
        const float unweight = light[i + 3] > 0.0f ? 1.0f / light[i + 3] : 0.0f;
        if (diffuse) {
            const double want = alpha * 255.0 + alphaMissed;
            to[i + 3] = uint8_t(std::clamp(std::lround(want), 0L, 255L));
            alphaMissed = want - to[i + 3];
        } else {
            to[i + 3] = uint8_t(std::lround(alpha * 255.0f));
        }
        translucent |= to[i + 3] != 255;
        // On a grid the colour comes from the codes below.
        for (size_t c = 0; c < 3 && !roundsOntoGrid(rounding); ++c) {
            const float colour = light[i + c] * unweight;
            if (diffuse && to[i + 3] != 0) {
                // An overshoot of the filter is no light to hand on.
                const double want = std::clamp(colour, 0.0f, 1.0f) + missed[c];
                to[i + c] = nearestInLight(tables, want);
                missed[c] = want - tables.linear[to[i + c]];
            } else {
                to[i + c] = srgb::fromLinear(tables, colour);
            }
        }
    }
    out.hasAlpha = translucent;
    if (roundsOntoGrid(rounding)) {
        // The codes are rounded from the light, not from the bytes above.
        const PackedForm form = rounding == Rounding::Grid4444 ? PackedForm::Argb4444 : PackedForm::Rgb565;
        const size_t n = out.pixelCount();
        const size_t channels = form == PackedForm::Argb4444 ? 4 : 3;
        std::vector<uint8_t> words(2 * n);
        packLevelLight(form, light, n, words.data());
        // Back to bytes a stretch at a time: 5-6-5 leaves the alpha made above.
        constexpr size_t kStretch = 256;
        std::array<uint8_t, 4 * kStretch> grid{};
        translucent = false;
        for (size_t from = 0; from < n; from += kStretch) {
            const size_t count = std::min(kStretch, n - from);
            unpackLevel(form, words.data() + 2 * from, count, grid.data());
            for (size_t k = 0; k < count; ++k) {
                uint8_t* to = out.rgba.data() + 4 * (from + k);
                std::copy_n(grid.begin() + std::ptrdiff_t(4 * k), channels, to);
                translucent |= to[3] != 255;
            }
        }
        out.hasAlpha = translucent;
    }
    fillUnderTransparency(out);
    // The colour filled in under transparency goes on the grid too (an
    // opaque level is there already).
    if (roundsOntoGrid(rounding) && out.hasAlpha) snapToGrid(out, rounding);
    return out;
}

std::unique_ptr<Halvings> halvingsOnGrid(const Image& image, Rounding grid) {
    const PackedForm form = grid == Rounding::Grid4444 ? PackedForm::Argb4444 : PackedForm::Rgb565;
    // A large picture goes on the grid byte by byte, on the way in; a small
    // one spreads its rounding (see pixelpack.h), so it is put there first.
    if (image.pixelCount() > kSmallLevelPixels) return std::make_unique<Halvings>(image, &nearestOnGrid(form));
    Image onGrid = image;
    snapToGrid(onGrid, grid);
    return std::make_unique<Halvings>(onGrid);
}

void snapToGrid(Image& image, Rounding rounding) {
    if (!roundsOntoGrid(rounding)) return;
    snapLevel(rounding == Rounding::Grid4444 ? PackedForm::Argb4444 : PackedForm::Rgb565, image.rgba.data(),
              image.pixelCount());
    if (rounding == Rounding::Grid4444) {
        bool translucent = false;
        for (size_t i = 3; i < image.rgba.size() && !translucent; i += 4) translucent = image.rgba[i] != 255;
        image.hasAlpha = translucent;
    }
}

int Halvings::stepsTo(const Image& source, int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) return 0;
    for (int steps = 1; steps < 31; ++steps) {
        const int64_t w = int64_t(width) << steps, h = int64_t(height) << steps;
        if (w == source.width && h == source.height) return steps;
        if (w > source.width || h > source.height) break;
    }
    return 0;
}

Halvings::Halvings(const Image& source, const std::array<std::array<uint8_t, 256>, 4>* onGrid)
    : sourceBpp_(source.sourceBpp) {
    if (source.width < 2 || source.height < 2 || source.width % 2 != 0 || source.height % 2 != 0 ||
        source.rgba.size() != source.pixelCount() * 4)
        throw std::invalid_argument("halvings: no even picture");
    // The first halving straight from the bytes: the source itself is never
    // held in floats.
    Level first{source.width / 2, source.height / 2, {}};
    first.light.resize(size_t(first.width) * size_t(first.height) * 4);
    const size_t row = size_t(source.width) * 4;
    // Each channel's light of each byte, through the maps when given.
    std::array<std::array<float, 256>, 4> light{};
    for (size_t c = 0; c < 4; ++c)
        for (size_t v = 0; v < 256; ++v) {
            const uint8_t b = onGrid ? (*onGrid)[c][v] : uint8_t(v);
            light[c][v] = c < 3 ? srgb::linearTable()[b] : b * (1.0f / 255.0f);
        }
    // Whether an opaque byte stands for an alpha of exactly 1 (it does; the
    // fast way below is taken only when the arithmetic says so).
    const bool opaqueIsOne = light[3][255] == 1.0f;
    for (int32_t y = 0; y < first.height; ++y) {
        const uint8_t* top = source.rgba.data() + size_t(2 * y) * row;
        const uint8_t* bottom = top + row;
        float* out = first.light.data() + size_t(y) * size_t(first.width) * 4;
        for (int32_t x = 0; x < first.width; ++x, top += 8, bottom += 8, out += 4) {
            if (opaqueIsOne && (top[3] & top[7] & bottom[3] & bottom[7]) == 255) {
                // Four opaque texels: alpha weighs each by exactly 1, and
                // the sums are those below, in the same order.
                for (size_t c = 0; c < 3; ++c)
                    out[c] =
                        (((light[c][top[c]] + light[c][top[c + 4]]) + light[c][bottom[c]]) + light[c][bottom[c + 4]]) *
                        0.25f;
                out[3] = 1.0f;
                continue;
            }
            const uint8_t* four[4] = {top, top + 4, bottom, bottom + 4};
            float sum[4] = {0, 0, 0, 0};
            for (const uint8_t* p : four) {
                const float alpha = light[3][p[3]];
                sum[0] += light[0][p[0]] * alpha;
                sum[1] += light[1][p[1]] * alpha;
                sum[2] += light[2][p[2]] * alpha;
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

Image Halvings::level(int steps, Rounding rounding) {
    if (steps < 1) throw std::invalid_argument("halvings: no step");
    const Level& level = halved(steps);
    Image out = bytesOfLight(level.width, level.height, level.light.data(), rounding);
    out.sourceBpp = sourceBpp_;
    return out;
}

}  // namespace quor
