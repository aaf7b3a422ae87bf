// Work on a result's transparency: the colour under its transparent texels
// and the coverage of cut-outs.
#include "image.h"
#include "srgb.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace quor {
namespace {

// Sums over cells of 2^k x 2^k texels: red, green and blue light weighted
// by alpha, then alpha.
struct Grid {
    int32_t width = 0, height = 0;
    std::vector<float> sums;
    float* at(int32_t x, int32_t y) { return sums.data() + (size_t(y) * size_t(width) + size_t(x)) * 4; }
};

// Adds one texel's light, weighted by its alpha, to `sum`.
void addTexel(const uint8_t* p, const std::array<float, 256>& linear, float* sum) {
    const float alpha = p[3] * (1.0f / 255.0f);
    sum[0] += linear[p[0]] * alpha;
    sum[1] += linear[p[1]] * alpha;
    sum[2] += linear[p[2]] * alpha;
    sum[3] += alpha;
}

}  // namespace

void fillUnderTransparency(Image& image) {
    const int32_t w = image.width, h = image.height;
    if (w <= 0 || h <= 0 || image.rgba.size() != image.pixelCount() * 4) return;
    bool hidden = false, visible = false;
    for (size_t i = 3; i < image.rgba.size(); i += 4) (image.rgba[i] == 0 ? hidden : visible) = true;
    if (!hidden || !visible) return;

    const auto& linear = srgb::linearTable();
    const srgb::Tables& tables = srgb::tables();
    uint8_t* rgba = image.rgba.data();
    const auto texel = [&](int32_t x, int32_t y) { return rgba + (size_t(y) * size_t(w) + size_t(x)) * 4; };

    // The grids of 4x4 texels and coarser, up to one cell.  The finest, of
    // 2x2, is summed where it is needed: it would take four times the memory.
    std::vector<Grid> grids;
    Grid first{(w + 3) / 4, (h + 3) / 4, {}};
    first.sums.assign(size_t(first.width) * size_t(first.height) * 4, 0.0f);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) addTexel(texel(x, y), linear, first.at(x / 4, y / 4));
    grids.push_back(std::move(first));
    while (grids.back().width > 1 || grids.back().height > 1) {
        Grid& fine = grids.back();
        Grid coarse{(fine.width + 1) / 2, (fine.height + 1) / 2, {}};
        coarse.sums.assign(size_t(coarse.width) * size_t(coarse.height) * 4, 0.0f);
        for (int32_t y = 0; y < fine.height; ++y)
            for (int32_t x = 0; x < fine.width; ++x) {
                const float* from = fine.at(x, y);
                float* to = coarse.at(x / 2, y / 2);
                for (size_t c = 0; c < 4; ++c) to[c] += from[c];
            }
        grids.push_back(std::move(coarse));
    }

    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            uint8_t* p = texel(x, y);
            if (p[3] != 0) continue;
            float block[4] = {0, 0, 0, 0};
            for (int32_t v = y & ~1; v < std::min(h, (y & ~1) + 2); ++v)
                for (int32_t u = x & ~1; u < std::min(w, (x & ~1) + 2); ++u) addTexel(texel(u, v), linear, block);
            const float* sum = block;
            for (size_t k = 0; sum[3] <= 0.0f && k < grids.size(); ++k) sum = grids[k].at(x >> (k + 2), y >> (k + 2));
            // The coarsest cell holds every visible texel.
            for (size_t c = 0; c < 3; ++c) p[c] = srgb::fromLinear(tables, sum[c] / sum[3]);
        }
}

void keepCoverage(Image& image, const Image& source) {
    if (image.pixelCount() == 0 || source.pixelCount() == 0) return;
    size_t covered = 0;
    for (size_t i = 3; i < source.rgba.size(); i += 4) covered += source.rgba[i] >= 128;
    const double want = double(covered) / double(source.pixelCount()) * double(image.pixelCount());

    // Scaling by s makes half opaque exactly the texels whose alpha is at
    // least some threshold; choose the threshold whose count is nearest.
    std::array<size_t, 257> atLeast{};  // texels of alpha >= a; none are >= 256
    for (size_t i = 3; i < image.rgba.size(); i += 4) ++atLeast[image.rgba[i]];
    for (int a = 254; a >= 0; --a) atLeast[size_t(a)] += atLeast[size_t(a + 1)];
    int threshold = 128;
    for (int t = 1; t <= 256; ++t) {
        const double off = std::abs(double(atLeast[size_t(t)]) - want);
        const double best = std::abs(double(atLeast[size_t(threshold)]) - want);
        if (off < best || (off == best && std::abs(t - 128) < std::abs(threshold - 128))) threshold = t;
    }
    // Of the scales with that threshold, the one nearest 1: alpha t just
    // reaches 127.5 when scaling up, alpha t - 1 stays just short of it
    // when scaling down.
    constexpr double kMargin = 1e-9;
    const double scale = threshold == 128  ? 1.0
                         : threshold < 128 ? 127.5 / threshold * (1 + kMargin)
                                           : 127.5 / (threshold - 1) * (1 - kMargin);
    for (size_t i = 3; i < image.rgba.size(); i += 4)
        image.rgba[i] = uint8_t(std::min(255L, std::lround(image.rgba[i] * scale)));
    // A regular cut-out (evenly spaced pickets) gives many texels one alpha,
    // and no scale can put only some of them across half opacity.  Of the
    // texels nearest the line on the side with too many, as many as the
    // share still wants are moved across it, spread evenly over them.
    const long wanted = std::lround(want);
    long reached = 0;
    int lowestAbove = 256, highestBelow = -1;
    for (size_t i = 3; i < image.rgba.size(); i += 4) {
        const int a = image.rgba[i];
        if (a >= 128) {
            ++reached;
            lowestAbove = std::min(lowestAbove, a);
        } else if (a > 0) {
            highestBelow = std::max(highestBelow, a);
        }
    }
    if (reached != wanted) {
        const bool demote = reached > wanted;
        const int from = demote ? lowestAbove : highestBelow;
        std::vector<size_t> group;
        for (size_t i = 3; i < image.rgba.size() && from >= 0; i += 4)
            if (image.rgba[i] == from) group.push_back(i);
        const size_t moves = std::min(group.size(), size_t(std::labs(reached - wanted)));
        for (size_t m = 0; m < moves; ++m) image.rgba[group[m * group.size() / moves]] = demote ? 127 : 128;
    }
    bool translucent = false;
    for (size_t i = 3; i < image.rgba.size(); i += 4) translucent |= image.rgba[i] != 255;
    image.hasAlpha = translucent;
}

}  // namespace quor
