// Resampling in linear light, weighted by alpha.
//
// Shrinking uses a box filter: each output pixel is the area average of the
// source pixels under it, so a flat picture stays flat and a one-pixel
// checkerboard halves to its true mean.  Enlarging uses Catmull-Rom, an
// interpolating cubic that keeps edges crisp.  Each axis picks its own filter,
// since an import may stretch one way and shrink the other.
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#if defined(__GNUC__)
#  pragma GCC diagnostic push
#  pragma GCC diagnostic ignored "-Wunused-parameter"
#  pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#  pragma GCC diagnostic ignored "-Wsign-compare"
#endif
#include <stb/stb_image_resize.h>
#if defined(__GNUC__)
#  pragma GCC diagnostic pop
#endif

#include "halvings.h"
#include "image.h"

#include <algorithm>
#include <stdexcept>

namespace quor {
namespace {

stbir_filter filterFor(int32_t from, int32_t to) {
    return to > from ? STBIR_FILTER_CATMULLROM : STBIR_FILTER_BOX;
}

// Output rows per call: enough calls for a smooth progress bar, few enough
// that re-reading the filter's support at each band's edge costs little.
int32_t bandRows(int32_t height) { return std::max<int32_t>(16, (height + 15) / 16); }

// Above this many pixels the halvings' floats would take too much memory;
// the general filter works in bands instead.
constexpr size_t kHalvedPixels = size_t(1) << 22;

}  // namespace

Image resample(const Image& source, int32_t width, int32_t height, const Progress& progress) {
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
        progress.report(1, 1);
        return out;
    }
    const int steps = Halvings::stepsTo(source, width, height);
    if (steps > 0 && source.pixelCount() <= kHalvedPixels) {
        // Whole halvings: the same area average, without the general filter.
        progress.report(0, 1);
        out = Halvings(source).level(steps);
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
                                             out.rgba.data() + size_t(y0) * size_t(outStride), width, rows,
                                             outStride, STBIR_TYPE_UINT8, 4, 3, 0, STBIR_EDGE_CLAMP,
                                             STBIR_EDGE_CLAMP, horizontal, vertical, STBIR_COLORSPACE_SRGB,
                                             nullptr, xScale, yScale, 0.0f, float(y0));
        if (!ok) throw std::runtime_error("resample failed");
        progress.report(y0 + rows, height);
    }

    bool translucent = false;
    for (size_t i = 3; i < out.rgba.size() && !translucent; i += 4) translucent = out.rgba[i] != 255;
    out.hasAlpha = translucent;
    return out;
}

}  // namespace quor
