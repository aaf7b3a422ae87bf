// 4x4 block compression (BC1, BC3, BC7) and decoding (BC1, BC2, BC3, BC7).
#pragma once

#include "blockformats.h"

#include <cstddef>
#include <cstdint>

namespace quor::blocks {

inline size_t blockBytes(Format f) { return formatRow(f).blockBytes; }
inline size_t encodedSize(int32_t width, int32_t height, Format f) {
    return size_t((width + 3) / 4) * size_t((height + 3) / 4) * blockBytes(f);
}

// stb_dxt's high-quality encoder (the base to measure against), or our own
// coders: the colour fit (colourfit.h), the alpha fit (alphafit.h), BC7 (bc7.h).
enum class Quality { Base, Refined };

struct Options {
    Quality quality = Quality::Refined;
    // Alpha below the cut is the transparent side of a cut-out.  BC3's and
    // BC7's alpha keep every texel on its side wherever the format can.
    int alphaCut = 128;
    // BC1 only: texels below the cut become transparent (the three-colour
    // form of the blocks that hold any); otherwise alpha is not looked at.
    bool bc1Alpha = false;
};

// One block: `rgba` 16 texels (row by row, 4 bytes each); `out` 8 (BC1) or 16 bytes.
void encodeBlock(Format f, const uint8_t* rgba, uint8_t* out, const Options& options = {});
// One block back to 16 RGBA texels.
void decodeBlock(Format f, const uint8_t* in, uint8_t* rgba);

// Whole pictures, top row first; edges that are not a multiple of 4 fill
// their blocks by repeating the picture's texels.  `out` holds encodedSize().
// In a format with alpha, colours under fully transparent texels are not
// taken from the picture but from its visible texels around them, so
// filtered textures show no fringes.  False for a format that is only read.
bool encodePicture(Format f, const uint8_t* rgba, int32_t width, int32_t height, uint8_t* out,
                   const Options& options = {});
inline bool encodePicture(Format f, const uint8_t* rgba, int32_t width, int32_t height, uint8_t* out, Quality q) {
    return encodePicture(f, rgba, width, height, out, Options{q});
}
void decodePicture(Format f, const uint8_t* in, int32_t width, int32_t height, uint8_t* rgba);

}  // namespace quor::blocks
