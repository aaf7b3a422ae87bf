// sRGB bytes and linear light, for the work that must keep a picture's
// brightness: averaging, blurring and spreading the error of a palette.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quor::srgb {

struct Tables {
    static constexpr int kGuessSteps = 65536;
    // Linear light (0..1) of each sRGB byte.
    std::array<float, 256> linear{};
    // Byte b wins from the level of (b - 0.5) / 255 up.
    std::array<float, 256> lowest{};
    // The byte for each level i / kGuessSteps; a level above it is at most
    // one byte higher.
    std::array<uint8_t, kGuessSteps + 1> guess{};
    Tables();
};

const Tables& tables();

// Linear light (0..1) of each sRGB byte.
inline const std::array<float, 256>& linearTable() { return tables().linear; }
inline float toLinear(uint8_t value) { return tables().linear[value]; }

// The sRGB byte whose value is nearest, in sRGB, to a linear level; levels
// outside 0..1 give 0 or 255.
inline uint8_t fromLinear(const Tables& t, float level) {
    if (!(level > 0.0f)) return 0;  // also NaN
    if (level >= 1.0f) return 255;
    int b = t.guess[size_t(level * float(Tables::kGuessSteps))];
    if (b < 255 && t.lowest[size_t(b + 1)] <= level) ++b;
    return uint8_t(b);
}
inline uint8_t fromLinear(float level) { return fromLinear(tables(), level); }

}  // namespace quor::srgb
