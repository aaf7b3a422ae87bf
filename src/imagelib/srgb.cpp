#include "srgb.h"

#include <cmath>

namespace quor::srgb {
namespace {

double decode(double encoded) {
    return encoded <= 0.04045 ? encoded / 12.92 : std::pow((encoded + 0.055) / 1.055, 2.4);
}

}  // namespace

Tables::Tables() {
    for (int b = 0; b < 256; ++b) {
        linear[size_t(b)] = float(decode(b / 255.0));
        lowest[size_t(b)] = b == 0 ? -1.0f : float(decode((b - 0.5) / 255.0));
    }
    int b = 0;
    for (int i = 0; i <= kGuessSteps; ++i) {
        const float level = float(i) / float(kGuessSteps);
        while (b < 255 && lowest[size_t(b + 1)] <= level) ++b;
        guess[size_t(i)] = uint8_t(b);
    }
}

const Tables& tables() {
    static const Tables t;
    return t;
}

}  // namespace quor::srgb
