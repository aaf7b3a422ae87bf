#include "srgb.h"

#include <cmath>

namespace quor::srgb {
namespace {

double decode(double encoded) {
    return encoded <= 0.04045 ? encoded / 12.92 : std::pow((encoded + 0.055) / 1.055, 2.4);
}

constexpr int kGuessSteps = 16384;

struct Tables {
    std::array<float, 256> linear{};
    // Byte b wins from the level of (b - 0.5) / 255 up.
    std::array<float, 256> lowest{};
    // The byte for each level i / kGuessSteps; a level above it is at most
    // a step or two higher.
    std::array<uint8_t, kGuessSteps + 1> guess{};
    Tables() {
        for (int b = 0; b < 256; ++b) {
            linear[size_t(b)] = float(decode(b / 255.0));
            lowest[size_t(b)] = b == 0 ? -1.0f : float(decode((b - 0.5) / 255.0));
        }
        int b = 0;
        for (int i = 0; i <= kGuessSteps; ++i) {
            const float level = float(i) / kGuessSteps;
            while (b < 255 && lowest[size_t(b + 1)] <= level) ++b;
            guess[size_t(i)] = uint8_t(b);
        }
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

}  // namespace

const std::array<float, 256>& linearTable() { return tables().linear; }

uint8_t fromLinear(float level) {
    if (!(level > 0.0f)) return 0;  // also NaN
    if (level >= 1.0f) return 255;
    const Tables& t = tables();
    int b = t.guess[size_t(level * kGuessSteps)];
    while (b < 255 && t.lowest[size_t(b + 1)] <= level) ++b;
    return uint8_t(b);
}

}  // namespace quor::srgb
