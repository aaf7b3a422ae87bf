// Mean luminance and mean of each channel, in linear light, of every level
// of a mip chain.
//
//   chain_brightness FILE.bmp              an Extended Bitmap: one line per level
//   chain_brightness --plain A.bmp B.bmp   plain BMP files: one line per file
//
// Each line is "EDGE MEAN RED GREEN BLUE", all in 0..1.
#include "bmpfile.h"

#include <cstdio>
#include <string>

using namespace corvane::bench;

namespace {
void print(const Picture& p) {
    const auto channels = meanChannels(p);
    std::printf("%d %.9f %.9f %.9f %.9f\n", p.width, meanLuminance(p), channels[0], channels[1], channels[2]);
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
