// How the image library's 16-bit packer and colour grids name a set's depth.
#pragma once

#include "pixelpack.h"
#include "quorimg.h"
#include "setdepth.h"

namespace corvane {

// The packed form of a 16-bit depth (5-6-5 for any other).
constexpr quor::PackedForm packedFormOf(SetDepth depth) {
    return depth == SetDepth::Argb4444 ? quor::PackedForm::Argb4444 : quor::PackedForm::Rgb565;
}

// The grid of colours a 16-bit depth can hold, for the library's resampler;
// 0 (none) for the others.
constexpr int gridOf(SetDepth depth) {
    if (!depth.sixteenBit()) return 0;
    return depth == SetDepth::Argb4444 ? QUOR_GRID_4444 : QUOR_GRID_565;
}

}  // namespace corvane
