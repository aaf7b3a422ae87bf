// Mean luminance and mean of each channel, in linear light, of every level
// of a mip chain.
//
//   chain_brightness FILE.bmp              an Extended Bitmap: one line per level
//   chain_brightness --plain A.bmp B.bmp   plain BMP files: one line per file
//
// Each line is "EDGE MEAN RED GREEN BLUE STEPRED STEPGREEN STEPBLUE", all in
// 0..1: the means, then the widest 5-6-5 code step of each channel.
#include "bmpfile.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

using namespace corvane::bench;

namespace {
// The widest step, in linear light, between a 5-6-5 code any texel holds
// and the next one up: rounding a level onto those codes while keeping its
// mean misses that mean by at most half of it over the level's texels.
std::array<double, 3> widestSteps(const Picture& p) {
    const auto& lin = linearTable();
    const int bits[3] = {5, 6, 5};
    std::array<double, 3> widest{};
    for (const Rgb& c : p.pixels) {
        const int value[3] = {c.r, c.g, c.b};
        for (int k = 0; k < 3; ++k) {
            const int steps = (1 << bits[k]) - 1;
            const int code = std::min((value[k] * steps + 127) / 255, steps - 1);
            const auto widen = [steps](int n) { return (n * 255 + steps / 2) / steps; };
            widest[size_t(k)] = std::max(widest[size_t(k)], lin[size_t(widen(code + 1))] - lin[size_t(widen(code))]);
        }
    }
    return widest;
}

void print(const Picture& p) {
    const auto channels = meanChannels(p);
    const auto steps = widestSteps(p);
    std::printf("%d %.9f %.9f %.9f %.9f %.9f %.9f %.9f\n", p.width, meanLuminance(p), channels[0], channels[1],
                channels[2], steps[0], steps[1], steps[2]);
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: chain_brightness FILE.bmp | chain_brightness --plain FILE.bmp...\n");
        return 2;
    }
    const bool plain = std::string(argv[1]) == "--plain";
    int status = 0;
    for (int i = plain ? 2 : 1; i < argc; ++i) {
        const auto file = readBmp(argv[i]);
        if (!file) {
            std::fprintf(stderr, "chain_brightness: cannot read %s\n", argv[i]);
            status = 1;
            continue;
        }
        if (plain) {
            const auto p = file->plain();
            if (!p) {
                std::fprintf(stderr, "chain_brightness: %s is cut short\n", argv[i]);
                status = 1;
                continue;
            }
            print(*p);
        } else {
            const auto levels = file->chain();
            if (levels.empty()) status = 1;
            for (const Picture& level : levels) print(level);
            if (!levels.empty() && levels.back().width != 1) {
                std::fprintf(stderr, "chain_brightness: %s ends before its 1x1 level\n", argv[i]);
                status = 1;
            }
        }
    }
    return status;
}
