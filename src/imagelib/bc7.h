// BC7: 16-byte blocks of eight modes, decoded exactly as the format defines
// them, and encoded by our own search (bc7encode.cpp).
#pragma once

#include <cstdint>

namespace quor::blocks {

// One block to 16 RGBA texels, row by row.  A block whose mode byte is zero
// (no mode) decodes as transparent black.
void decodeBc7Block(const uint8_t* in, uint8_t* rgba);

// 16 RGBA texels to one block.  Texels with alpha below `alphaCut` are kept
// below it, and those at or above it at or above, wherever a mode can.
void encodeBc7Block(const uint8_t* rgba, uint8_t* out, int alphaCut = 128);

}  // namespace quor::blocks
