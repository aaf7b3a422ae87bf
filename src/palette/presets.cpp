#include "presets.h"

#include <algorithm>

namespace corvane {

void allOpaque(LevelTable& levels) { levels.fill(255); }

void colour0Transparent(LevelTable& levels) {
    levels.fill(255);
    levels[0] = 0;
}

void allTo(LevelTable& levels, int level) { levels.fill(std::clamp(level, 0, 255)); }

void gradientTo(LevelTable& levels, int colour) {
    const int n = std::clamp(colour, 0, 255);
    if (n == 0) return;
    // The step is rounded to a double once; the products are formed in
    // extended precision, which is why colour 3 of a 9-step gradient is 84.
    const double step = 255.0 / n;
    for (int i = 0; i < n; ++i)
        levels[size_t(i)] = int32_t(static_cast<long double>(i) * static_cast<long double>(step));
}

}  // namespace corvane
