// The block coders built for plain x86-64 alone (no vector clone): reads
// whole blocks of 16 RGBA texels from a file and writes, for all of them,
// their BC1 colour blocks (fitted all together), their
// BC3 alpha blocks and their BC7 blocks, one after another, to another.
//
//   blockcoders_plain BLOCKS OUT
#include "alphafit.h"
#include "bc7.h"
#include "colourfit.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<uint8_t> texels((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t count = texels.size() / 64;
    std::vector<uint8_t> out(count * (8 + 8 + 16));
    quor::blocks::fitColours(texels.data(), count, out.data(), 8);
    uint8_t* alpha = out.data() + 8 * count;
    uint8_t* bc7 = alpha + 8 * count;
    for (size_t k = 0; k < count; ++k) {
        uint8_t values[16];
        for (size_t i = 0; i < 16; ++i) values[i] = texels[64 * k + 4 * i + 3];
        quor::blocks::fitAlpha(values, 128, alpha + 8 * k);
        quor::blocks::encodeBc7Block(texels.data() + 64 * k, bc7 + 16 * k);
    }
    std::ofstream(argv[2], std::ios::binary)
        .write(reinterpret_cast<const char*>(out.data()), std::streamsize(out.size()));
    return 0;
}
