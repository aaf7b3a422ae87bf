// The colour half of BC1/BC3 blocks, fitted eight blocks at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor::blocks {

inline constexpr size_t kFitGroup = 8;
// Blocks a picture hands the fit at once: enough that those left for the
// cluster search fill its lanes.
inline constexpr size_t kFitBatch = 64;

// A 5- or 6-bit code widened to 8 bits as decoders do: its top bits repeated below.
inline constexpr int widenCode(int code, int bits) {
    return bits == 5 ? (code << 3) | (code >> 2) : (code << 2) | (code >> 4);
}

// `texels` holds `count` blocks of 16 RGBA texels, 64 bytes each, row by
// row; block k's 8-byte colour block, always in the four-colour form
// (colour0 > colour1, or equal endpoints with every index 0), goes to
// `out + k * stride`.  Alpha is not looked at.  A block's bytes do not
// depend on the blocks beside it.
void fitColours(const uint8_t* texels, size_t count, uint8_t* out, size_t stride);

// One BC1 block in the three-colour form (colour0 <= colour1): texels with
// alpha below `cut` take index 3, transparent black; the others are fitted
// to the two ends and their midpoint.
void fitThreeColours(const uint8_t* rgba, int cut, uint8_t* out);

}  // namespace quor::blocks
