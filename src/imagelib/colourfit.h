// The colour half of BC1/BC3 blocks, fitted eight blocks at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor::blocks {

inline constexpr size_t kFitGroup = 8;

// `texels` holds `count` (1..kFitGroup) blocks of 16 RGBA texels, 64 bytes
// each, row by row; block k's 8-byte colour block, always in the four-colour
// form (colour0 > colour1, or equal endpoints with every index 0), goes to
// `out + k * stride`.  Alpha is not looked at.
void fitColours(const uint8_t* texels, size_t count, uint8_t* out, size_t stride);

}  // namespace quor::blocks
