// The alpha half of BC3 blocks (a BC4 block): two 8-bit endpoints and a
// 3-bit index per texel.
#pragma once

#include <cstdint>

namespace quor::blocks {

// `alpha` 16 values, row by row, to an 8-byte alpha block.  Every texel
// decodes on its own side of `cut` (below it, or at or above it) whenever
// some block can do that, whichever way a decoder rounds the in-between
// steps; among such blocks, the least squared error is sought.
void fitAlpha(const uint8_t* alpha, int cut, uint8_t* out);

}  // namespace quor::blocks
