// BC7 decoding: the block read as one 128-bit little-endian number, fields
// taken from its low end in the order the mode lays them out.
#include "bc7.h"
#include "bc7tables.h"

#include <cstring>

namespace quor::blocks {
namespace {

class BitReader {
public:
    explicit BitReader(const uint8_t* in) { std::memcpy(bytes_, in, 16); }
    int take(int count) {
        int value = 0;
        for (int k = 0; k < count; ++k, ++at_) value |= ((bytes_[at_ >> 3] >> (at_ & 7)) & 1) << k;
        return value;
    }

private:
    uint8_t bytes_[16];
    int at_ = 0;
};

// An endpoint of `bits` bits (its p-bit included) widened to 8 by repeating its top bits.
int widen(int value, int bits) {
    value <<= 8 - bits;
    return value | (value >> bits);
}

}  // namespace

void decodeBc7Block(const uint8_t* in, uint8_t* rgba) {
    int mode = 0;
    while (mode < 8 && !((in[0] >> mode) & 1)) ++mode;
    if (mode == 8) {
        std::memset(rgba, 0, 64);
        return;
    }
    const bc7::ModeInfo& m = bc7::kModes[size_t(mode)];
    BitReader bits(in);
    bits.take(mode + 1);
    const int shape = bits.take(m.partitionBits);
    const int rotation = bits.take(m.rotationBits);
    const int selector = bits.take(m.selectorBits);

    // [subset][endpoint][channel]
    int ends[3][2][4] = {};
    const int pairs = m.subsets;
    for (int c = 0; c < 3; ++c)
        for (int s = 0; s < pairs; ++s)
            for (int e = 0; e < 2; ++e) ends[s][e][c] = bits.take(m.colourBits);
    for (int s = 0; s < pairs; ++s)
        for (int e = 0; e < 2; ++e) ends[s][e][3] = m.alphaBits ? bits.take(m.alphaBits) : 255;
    int colourBits = m.colourBits, alphaBits = m.alphaBits;
    if (m.endpointPBits || m.sharedPBits) {
        int p[3][2] = {};
        for (int s = 0; s < pairs; ++s) {
            if (m.endpointPBits) {
                p[s][0] = bits.take(1);
                p[s][1] = bits.take(1);
            } else {
                p[s][0] = p[s][1] = bits.take(1);
            }
        }
        for (int s = 0; s < pairs; ++s)
            for (int e = 0; e < 2; ++e)
                for (int c = 0; c < (m.alphaBits ? 4 : 3); ++c) ends[s][e][c] = ends[s][e][c] << 1 | p[s][e];
        ++colourBits;
        if (alphaBits) ++alphaBits;
    }
    for (int s = 0; s < pairs; ++s)
        for (int e = 0; e < 2; ++e) {
            for (int c = 0; c < 3; ++c) ends[s][e][c] = widen(ends[s][e][c], colourBits);
            if (alphaBits) ends[s][e][3] = widen(ends[s][e][3], alphaBits);
        }

    int index[16], second[16] = {};
    for (int i = 0; i < 16; ++i) index[i] = bits.take(m.indexBits - (bc7::isAnchor(m.subsets, shape, i) ? 1 : 0));
    if (m.secondIndexBits)
        for (int i = 0; i < 16; ++i) second[i] = bits.take(m.secondIndexBits - (i == 0 ? 1 : 0));

    // Mode 4's selector gives colour the three-bit set and alpha the two-bit one.
    const uint8_t* colourWeights = bc7::weightsFor(selector ? m.secondIndexBits : m.indexBits);
    const uint8_t* alphaWeights = bc7::weightsFor(m.secondIndexBits && !selector ? m.secondIndexBits : m.indexBits);
    for (int i = 0; i < 16; ++i) {
        const int s = bc7::subsetOf(m.subsets, shape, i);
        int colourIndex = index[i], alphaIndex = index[i];
        if (m.secondIndexBits) {
            colourIndex = selector ? second[i] : index[i];
            alphaIndex = selector ? index[i] : second[i];
        }
        int texel[4];
        for (int c = 0; c < 4; ++c) {
            const int w = c < 3 ? colourWeights[colourIndex] : alphaWeights[alphaIndex];
            texel[c] = ((64 - w) * ends[s][0][c] + w * ends[s][1][c] + 32) >> 6;
        }
        if (rotation) {
            const int swapped = texel[rotation - 1];
            texel[rotation - 1] = texel[3];
            texel[3] = swapped;
        }
        for (int c = 0; c < 4; ++c) rgba[4 * i + c] = uint8_t(texel[c]);
    }
}

}  // namespace quor::blocks
