#include "srgb.h"

#include <algorithm>
#include <cmath>

namespace quor::srgb {
namespace {

double decode(double encoded) {
    return encoded <= 0.04045 ? encoded / 12.92 : std::pow((encoded + 0.055) / 1.055, 2.4);
}

struct Tables {
    std::array<float, 256> linear{};
    // Byte b wins from the level of (b - 0.5) / 255 up.
    std::array<float, 256> lowest{};
    Tables() {
        for (int b = 0; b < 256; ++b) {
            linear[size_t(b)] = float(decode(b / 255.0));
            lowest[size_t(b)] = b == 0 ? -1.0f : float(decode((b - 0.5) / 255.0));
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
    const auto& lowest = tables().lowest;
    // The last byte whose threshold is at or below the level.
    const auto it = std::upper_bound(lowest.begin(), lowest.end(), level);
    return uint8_t(std::max<std::ptrdiff_t>(0, (it - lowest.begin()) - 1));
}

}  // namespace quor::srgb
