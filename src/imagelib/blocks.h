// 4x4 block compression (BC1, BC3) and decoding (BC1, BC2, BC3).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor::blocks {

enum class Format { Bc1 = 1, Bc2 = 2, Bc3 = 3 };

inline size_t blockBytes(Format f) { return f == Format::Bc1 ? 8 : 16; }
inline size_t encodedSize(int32_t width, int32_t height, Format f) {
    return size_t((width + 3) / 4) * size_t((height + 3) / 4) * blockBytes(f);
}

// stb_dxt's high-quality encoder (the base to measure against), or our own
// colour fit (colourfit.h) with stb_dxt's alpha blocks.
enum class Quality { Base, Refined };

// One block: `rgba` 16 texels (row by row, 4 bytes each); `out` 8 (BC1) or 16 (BC3) bytes.
void encodeBlock(Format f, const uint8_t* rgba, uint8_t* out, Quality q = Quality::Refined);
// One block back to 16 RGBA texels.
void decodeBlock(Format f, const uint8_t* in, uint8_t* rgba);

// Whole pictures, top row first; edges that are not a multiple of 4 fill
// their blocks by repeating the picture's texels.  `out` holds encodedSize().
// Colours under fully transparent texels are not taken from the picture but
// from its visible texels around them, so filtered BC3 textures show no
// fringes.  BC2 is not encoded (false).
bool encodePicture(Format f, const uint8_t* rgba, int32_t width, int32_t height, uint8_t* out,
                   Quality q = Quality::Refined);
void decodePicture(Format f, const uint8_t* in, int32_t width, int32_t height, uint8_t* rgba);

}  // namespace quor::blocks
