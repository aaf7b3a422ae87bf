// The fixed filters (soften, sharpen) and the colour adjustments.
// The filters work in linear light, the adjustments on the channels as
// stored; alpha passes through.  The results are full-colour pictures.
#include "image.h"
#include "srgb.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace quor {
namespace {

void checkPicture(const Image& source) {
    if (source.width <= 0 || source.height <= 0 || source.width > kMaxEdge || source.height > kMaxEdge ||
        source.rgba.size() != source.pixelCount() * 4)
        throw std::invalid_argument("picture size out of range");
}

Image fullColourLike(const Image& source) {
    Image out;
    out.width = source.width;
    out.height = source.height;
    out.hasAlpha = source.hasAlpha;
    out.sourceBpp = 24;
    out.rgba = source.rgba;
    return out;
}

// The colour channels in linear light, three floats a pixel.
std::vector<float> linearColours(const Image& source) {
    std::vector<float> out(source.pixelCount() * 3);
    const uint8_t* in = source.rgba.data();
    for (size_t i = 0; i < source.pixelCount(); ++i)
        for (size_t c = 0; c < 3; ++c) out[i * 3 + c] = srgb::toLinear(in[i * 4 + c]);
    return out;
}

// The 3x3 kernel [1 2 1] x [1 2 1] / 16 over linear colours, edges repeated:
// a light blur.  With repeated edges every pixel hands out exactly its own
// weight, so the picture's mean light is kept.
std::vector<float> blur3x3(const std::vector<float>& in, int32_t w, int32_t h) {
    std::vector<float> across(in.size()), out(in.size());
    for (int32_t y = 0; y < h; ++y) {
        const float* row = in.data() + size_t(y) * size_t(w) * 3;
        float* to = across.data() + size_t(y) * size_t(w) * 3;
        for (int32_t x = 0; x < w; ++x) {
            const float* left = row + size_t(std::max(x - 1, 0)) * 3;
            const float* right = row + size_t(std::min(x + 1, w - 1)) * 3;
            for (size_t c = 0; c < 3; ++c) to[size_t(x) * 3 + c] = left[c] + 2.0f * row[size_t(x) * 3 + c] + right[c];
        }
    }
    const size_t rowLength = size_t(w) * 3;
    for (int32_t y = 0; y < h; ++y) {
        const float* up = across.data() + size_t(std::max(y - 1, 0)) * rowLength;
        const float* here = across.data() + size_t(y) * rowLength;
        const float* down = across.data() + size_t(std::min(y + 1, h - 1)) * rowLength;
        float* to = out.data() + size_t(y) * rowLength;
        for (size_t i = 0; i < rowLength; ++i) to[i] = (up[i] + 2.0f * here[i] + down[i]) / 16.0f;
    }
    return out;
}

Image withLinearColours(const Image& source, const std::vector<float>& colours) {
    Image out = fullColourLike(source);
    for (size_t i = 0; i < out.pixelCount(); ++i)
        for (size_t c = 0; c < 3; ++c) out.rgba[i * 4 + c] = srgb::fromLinear(colours[i * 3 + c]);
    return out;
}

uint8_t toByte(double v) { return uint8_t(std::clamp(std::lround(v), 0L, 255L)); }

// One curve for every channel: brightness, then gamma, then contrast.
std::array<uint8_t, 256> toneCurve(int32_t brightness, int32_t gamma, int32_t contrast) {
    std::array<uint8_t, 256> curve{};
    // Gamma: +100 raises mid tones by the exponent 1/3, -100 lowers them by 3.
    const double exponent = std::pow(3.0, -gamma / 100.0);
    // Contrast: -100 flattens to mid grey, +100 steepens fourfold.
    const double slope = contrast < 0 ? 1.0 + contrast / 100.0 : 1.0 + 3.0 * contrast / 100.0;
    for (int i = 0; i < 256; ++i) {
        double v = i;
        // Brightness scales toward black when darkening and toward white
        // when lightening, so black and white themselves move last.
        if (brightness < 0) v = v * (1.0 + brightness / 100.0);
        else if (brightness > 0) v = v + (255.0 - v) * (brightness / 100.0);
        if (gamma != 0) v = 255.0 * std::pow(std::clamp(v, 0.0, 255.0) / 255.0, exponent);
        if (contrast != 0) v = 127.5 + (v - 127.5) * slope;
        curve[size_t(i)] = toByte(v);
    }
    return curve;
}

}  // namespace

Image soften(const Image& source) {
    checkPicture(source);
    return withLinearColours(source, blur3x3(linearColours(source), source.width, source.height));
}

// Unsharp masking with the same light blur: the picture plus its difference
// from the blurred picture, in linear light like the blur.
Image sharpen(const Image& source) {
    checkPicture(source);
    const std::vector<float> colours = linearColours(source);
    std::vector<float> out = blur3x3(colours, source.width, source.height);
    for (size_t i = 0; i < out.size(); ++i) out[i] = std::clamp(2.0f * colours[i] - out[i], 0.0f, 1.0f);
    return withLinearColours(source, out);
}

Image adjust(const Image& source, int32_t contrast, int32_t saturation, int32_t gamma, int32_t brightness,
             int32_t warmth) {
    checkPicture(source);
    contrast = std::clamp(contrast, -100, 100);
    saturation = std::clamp(saturation, -100, 100);
    gamma = std::clamp(gamma, -100, 100);
    brightness = std::clamp(brightness, -100, 100);
    warmth = std::clamp(warmth, -100, 100);

    Image out = fullColourLike(source);
    const auto curve = toneCurve(brightness, gamma, contrast);
    const double keep = 1.0 + saturation / 100.0;  // 0 at -100: grey
    const double shift = 32.0 * warmth / 100.0;    // up to 32 levels toward red or blue
    for (size_t i = 0; i < out.rgba.size(); i += 4) {
        uint8_t* p = out.rgba.data() + i;
        for (size_t c = 0; c < 3; ++c) p[c] = curve[p[c]];
        if (saturation != 0) {
            const double grey = 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
            for (size_t c = 0; c < 3; ++c) p[c] = toByte(grey + (p[c] - grey) * keep);
        }
        if (warmth != 0) {
            p[0] = toByte(p[0] + shift);
            p[2] = toByte(p[2] - shift);
        }
    }
    return out;
}

}  // namespace quor
