// The fixed filters (101 soften, 5 sharpen) and the colour adjustments.
// They work on the colour channels as stored; alpha passes through.  The
// results are full-colour pictures.
#include "image.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

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

// The 3x3 kernel [1 2 1] x [1 2 1] / 16, edges repeated: a light blur.
Image blur3x3(const Image& source) {
    Image out = fullColourLike(source);
    const int32_t w = source.width;
    const int32_t h = source.height;
    const uint8_t* in = source.rgba.data();
    auto at = [&](int32_t x, int32_t y, int c) {
        x = std::clamp(x, 0, w - 1);
        y = std::clamp(y, 0, h - 1);
        return int(in[(size_t(y) * size_t(w) + size_t(x)) * 4 + size_t(c)]);
    };
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            uint8_t* o = out.rgba.data() + (size_t(y) * size_t(w) + size_t(x)) * 4;
            for (int c = 0; c < 3; ++c) {
                const int sum = at(x - 1, y - 1, c) + 2 * at(x, y - 1, c) + at(x + 1, y - 1, c) +
                                2 * at(x - 1, y, c) + 4 * at(x, y, c) + 2 * at(x + 1, y, c) +
                                at(x - 1, y + 1, c) + 2 * at(x, y + 1, c) + at(x + 1, y + 1, c);
                o[c] = uint8_t((sum + 8) >> 4);
            }
        }
    }
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
    return blur3x3(source);
}

// Unsharp masking with the same light blur: the picture plus its difference
// from the blurred picture.
Image sharpen(const Image& source) {
    checkPicture(source);
    Image out = blur3x3(source);
    for (size_t i = 0; i < out.rgba.size(); i += 4)
        for (size_t c = 0; c < 3; ++c)
            out.rgba[i + c] = uint8_t(std::clamp(2 * int(source.rgba[i + c]) - int(out.rgba[i + c]), 0, 255));
    return out;
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
    const double keep = 1.0 + saturation / 100.0;   // 0 at -100: grey
    const double shift = 32.0 * warmth / 100.0;     // up to 32 levels toward red or blue
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
