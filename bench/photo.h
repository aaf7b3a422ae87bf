// Something like a photograph, so that resampling, quantizing and remapping
// meet real work: smooth gradients, grain, and a few hard-edged shapes.
// `variant` moves the shapes and reseeds the grain, so a folder of sources
// can hold different pictures; variant 0 is the picture every benchmark used
// before there were variants.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

namespace corvane::bench {

// A binary PPM (P6) of edge x edge pixels.
inline std::string photoPpm(int edge, int variant = 0) {
    std::string out = "P6\n" + std::to_string(edge) + " " + std::to_string(edge) + "\n255\n";
    out.reserve(out.size() + size_t(edge) * size_t(edge) * 3);
    uint32_t seed = 12345u + uint32_t(variant) * 7919u;
    auto grain = [&] {
        seed = seed * 1664525u + 1013904223u;
        return int(seed >> 27) - 16;
    };
    // Shapes are laid out for a 512 picture and scaled to the edge asked for.
    const double k = edge / 512.0;
    const double shift = 37.0 * variant;
    const double discX = 70 + std::fmod(70 + shift * 3.1, 372.0), discY = 70 + std::fmod(310 + shift * 1.7, 372.0);
    const double signX = std::fmod(320 + shift * 2.3, 372.0), signY = std::fmod(60 + shift * 4.1, 422.0);
    const double stripe = -200 + std::fmod(240 + shift * 5.0, 400.0);
    for (int py = 0; py < edge; ++py)
        for (int px = 0; px < edge; ++px) {
            const double x = px / k, y = py / k;
            double r = 128 + 90 * std::sin(x / (70.0 + variant % 5)) * std::cos(y / (95.0 - variant % 7));
            double g = 40 + 0.3 * (x + y);
            double b = 200 - 0.25 * std::hypot(x - 300.0, y - 220.0);
            if (variant % 2) std::swap(r, b);
            if (std::hypot(x - discX, y - discY) < 70) r *= 0.35, g *= 0.4, b *= 0.5;                   // dark disc
            if (x > signX && x < signX + 140 && y > signY && y < signY + 90) r = 235, g = 225, b = 90;  // bright sign
            if (std::abs(x - y - stripe) < 6) r = g = b = 250;                                          // white stripe
            for (double v : {r, g, b}) out += char(std::clamp(int(v) + grain(), 0, 255));
        }
    return out;
}

}  // namespace corvane::bench
