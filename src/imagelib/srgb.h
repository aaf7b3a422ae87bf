// sRGB bytes and linear light, for the work that must keep a picture's
// brightness: averaging, blurring and spreading the error of a palette.
#pragma once

#include <array>
#include <cstdint>

namespace quor::srgb {

// Linear light (0..1) of each sRGB byte.
const std::array<float, 256>& linearTable();
inline float toLinear(uint8_t value) { return linearTable()[value]; }

// The sRGB byte whose value is nearest, in sRGB, to a linear level; levels
// outside 0..1 give 0 or 255.
uint8_t fromLinear(float level);

}  // namespace quor::srgb
