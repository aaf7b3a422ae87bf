// Shrinking by whole powers of two in linear light.  An area average over
// blocks of 2^k x 2^k is the same as k averages of 2x2 blocks, and each
// halving can start from the one before: a chain of levels down to 1x1
// costs a third more than the first one alone.
#pragma once

#include "image.h"

#include <array>
#include <cstdint>
#include <vector>

namespace quor {

class Halvings {
public:
    // The number of halvings that turn `source` into width x height, or 0
    // when the size is not the source's edges divided by one power of two.
    static int stepsTo(const Image& source, int32_t width, int32_t height);

    // With `onGrid`, the source's bytes are first taken through those maps
    // (a large level put on a 16-bit grid) without making a copy of it.
    explicit Halvings(const Image& source, const std::array<std::array<uint8_t, 256>, 4>* onGrid = nullptr);
    // The source halved `steps` times (1 or more): colours averaged in
    // linear light, weighted by alpha, as resample() does.
    Image level(int steps, Rounding rounding);

private:
    struct Level {
        int32_t width = 0, height = 0;
        std::vector<float> light;  // red, green, blue premultiplied by alpha; alpha; all 0..1
    };
    const Level& halved(int steps);

    int32_t sourceBpp_ = 24;
    std::vector<Level> levels_;
};

// The bytes of a picture held as light: 4 floats a texel, red, green and
// blue premultiplied by alpha, then alpha, nominally 0..1 (a sharpening
// filter may overshoot).  Rounded as `rounding` says; transparent texels
// are filled in.
Image bytesOfLight(int32_t width, int32_t height, const float* light, Rounding rounding);

}  // namespace quor
