// Resampling in linear light, weighted by alpha.
//
// Shrinking uses a box filter: each output pixel is the area average of the
// source pixels under it, so a flat picture stays flat and a one-pixel
// checkerboard halves to its true mean.  Enlarging uses Catmull-Rom, an
// interpolating cubic that keeps edges crisp.  Each axis picks its own filter,
// since an import may stretch one way and shrink the other.
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#endif
#include <stb/stb_image_resize.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#include "halvings.h"
#include "image.h"
#include "srgb.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace quor {
namespace {

stbir_filter filterFor(int32_t from, int32_t to) { return to > from ? STBIR_FILTER_CATMULLROM : STBIR_FILTER_BOX; }

// Output rows per call: enough calls for a smooth progress bar, few enough
// that re-reading the filter's support at each band's edge costs little.
int32_t bandRows(int32_t height) { return std::max<int32_t>(16, (height + 15) / 16); }

// Above this many pixels the halvings' floats would take too much memory;
// the general filter works in bands instead.
constexpr size_t kHalvedPixels = size_t(1) << 22;

// Source rows turned into light at a time, for a small result.
constexpr int32_t kLightRows = 64;

// A small result as light (see bytesOfLight), so that its rounding can keep
// the means.  The filter runs along one axis at a time, so the source is
// never held in floats whole: across in bands of rows first, which leaves
// the source's height of rows `width` wide, then down.  A pass that keeps its
// axis's size uses the box filter, which then leaves every texel as it is.
std::vector<float> resampleLight(const Image& source, int32_t width, int32_t height) {
    const auto& linear = srgb::linearTable();
    const int32_t inWidth = source.width, inHeight = source.height;
    std::vector<float> across(size_t(width) * size_t(inHeight) * 4);
    std::vector<float> rows(size_t(inWidth) * size_t(std::min(kLightRows, inHeight)) * 4);
    for (int32_t y0 = 0; y0 < inHeight; y0 += kLightRows) {
        const int32_t count = std::min(kLightRows, inHeight - y0);
        const uint8_t* in = source.rgba.data() + size_t(y0) * size_t(inWidth) * 4;
        for (size_t i = 0; i < size_t(count) * size_t(inWidth) * 4; i += 4) {
            const float alpha = in[i + 3] * (1.0f / 255.0f);
            for (size_t c = 0; c < 3; ++c) rows[i + c] = linear[in[i + c]] * alpha;
            rows[i + 3] = alpha;
        }
        if (!stbir_resize(rows.data(), inWidth, count, inWidth * 16, across.data() + size_t(y0) * size_t(width) * 4,
                          width, count, width * 16, STBIR_TYPE_FLOAT, 4, 3, STBIR_FLAG_ALPHA_PREMULTIPLIED,
                          STBIR_EDGE_CLAMP, STBIR_EDGE_CLAMP, filterFor(inWidth, width), STBIR_FILTER_BOX,
                          STBIR_COLORSPACE_LINEAR, nullptr))
            throw std::runtime_error("resample failed");
    }
    std::vector<float> light(size_t(width) * size_t(height) * 4);
    if (!stbir_resize(across.data(), width, inHeight, width * 16, light.data(), width, height, width * 16,
                      STBIR_TYPE_FLOAT, 4, 3, STBIR_FLAG_ALPHA_PREMULTIPLIED, STBIR_EDGE_CLAMP, STBIR_EDGE_CLAMP,
                      STBIR_FILTER_BOX, filterFor(inHeight, height), STBIR_COLORSPACE_LINEAR, nullptr))
        throw std::runtime_error("resample failed");
    return light;
}

}  // namespace

namespace {
Image resampleOnce(const Image& source, int32_t width, int32_t height, const Progress& progress, Rounding rounding);
}

Image resample(const Image& source, int32_t width, int32_t height, const Progress& progress, Rounding rounding) {
    if (!roundsOntoGrid(rounding) || (width == source.width && height == source.height))
        return resampleOnce(source, width, height, progress, rounding);
    // A 16-bit set's levels are made from its largest level as saving puts
    // that on the grid.
    Image onGrid = source;
    snapToGrid(onGrid, rounding);
    return resampleOnce(onGrid, width, height, progress, rounding);
}

namespace {

Image resampleOnce(const Image& source, int32_t width, int32_t height, const Progress& progress, Rounding rounding) {
    if (width <= 0 || height <= 0 || width > kMaxEdge || height > kMaxEdge)
        throw std::invalid_argument("resample: size out of range");
    if (source.width <= 0 || source.height <= 0 || source.rgba.size() != source.pixelCount() * 4)
        throw std::invalid_argument("resample: empty picture");

    Image out;
    out.width = width;
    out.height = height;
    out.sourceBpp = source.sourceBpp;
    if (width == source.width && height == source.height) {
        out.rgba = source.rgba;
        out.hasAlpha = source.hasAlpha;
        snapToGrid(out, rounding);
        progress.report(1, 1);
        return out;
    }
    const int steps = Halvings::stepsTo(source, width, height);
    if (steps > 0 && source.pixelCount() <= kHalvedPixels) {
        // Whole halvings: the same area average, without the general filter.
        progress.report(0, 1);
        out = Halvings(source).level(steps, rounding);
        progress.report(1, 1);
        return out;
    }
    if (rounding != Rounding::Nearest && out.pixelCount() <= kDiffusedPixels) {
        progress.report(0, 1);
        const std::vector<float> light = resampleLight(source, width, height);
        out = bytesOfLight(width, height, light.data(), rounding);
        out.sourceBpp = source.sourceBpp;
        progress.report(1, 1);
        return out;
    }
    out.rgba.resize(out.pixelCount() * 4);

    const stbir_filter horizontal = filterFor(source.width, width);
    const stbir_filter vertical = filterFor(source.height, height);
    // The same scale for every band, so that bands join without a seam.
    const float xScale = float(width) / float(source.width);
    const float yScale = float(height) / float(source.height);
    const int inStride = source.width * 4;
    const int outStride = width * 4;

    const int32_t band = bandRows(height);
    progress.report(0, height);
    for (int32_t y0 = 0; y0 < height; y0 += band) {
        const int32_t rows = std::min(band, height - y0);
        // Colour channels are converted from sRGB to linear light and back;
        // alpha (channel 3) stays linear and weights the colours.
        const int ok = stbir_resize_subpixel(source.rgba.data(), source.width, source.height, inStride,
                                             out.rgba.data() + size_t(y0) * size_t(outStride), width, rows, outStride,
                                             STBIR_TYPE_UINT8, 4, 3, 0, STBIR_EDGE_CLAMP, STBIR_EDGE_CLAMP, horizontal,
                                             vertical, STBIR_COLORSPACE_SRGB, nullptr, xScale, yScale, 0.0f, float(y0));
        if (!ok) throw std::runtime_error("resample failed");
        progress.report(y0 + rows, height);
    }

    bool translucent = false;
    for (size_t i = 3; i < out.rgba.size() && !translucent; i += 4) translucent = out.rgba[i] != 255;
    out.hasAlpha = translucent;
    fillUnderTransparency(out);
    snapToGrid(out, rounding);
    return out;
}

}  // namespace

}  // namespace quor
