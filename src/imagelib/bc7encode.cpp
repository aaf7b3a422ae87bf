// BC7 encoding.  Each subset of a block is fitted as a line: the ends of
// its texels' principal axis, quantized (with the better low bit where the
// mode has one), then least squares from the indices those ends give.
// Which modes are tried:
//  - opaque blocks: mode 6 (alpha held at 255); where that leaves error, the
//    two-subset shapes closest to the block's own split along its axis are
//    ranked by how far their texels lie off each subset's line, mode 1 is
//    fitted to the best two and mode 3 to the best;
//  - blocks with alpha: modes 5 and 4 (alpha on its own indices, its ends
//    searched on their own as our BC3 coder does); where mode 5 leaves
//    alpha off, mode 6 (colour and alpha on one line) as well, and mode 7
//    on the best-ranked shape there and at a cut-out's edge; wholly
//    transparent blocks, mode 6 alone.  Where the best of those leaves
//    alpha off at all, mode 6 is fitted alpha first: its ends searched on their
//    own (where they are few, solved from where the extremes could fall;
//    else a coarse grid around them, then finer steps), colour fitted to
//    the indices they give; and if alpha is still off, mode 7 the same way
//    on the two shapes whose subsets' alpha fits best.
// The lowest error, colour and alpha together, wins; a texel that an index
// would carry across the alpha cut costs more than any error, so cut-outs
// keep their edges.  Integer
// arithmetic decides everything that reaches the bytes, apart from least
// squares in double precision with contraction off, so every build writes
// the same blocks.
#include "bc7.h"
#include "bc7tables.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

namespace quor::blocks {
namespace {

using bc7::ModeInfo;

// A texel carried across the cut costs this much, more than any error a
// block can have otherwise (16 texels * (3 + kAlphaWeight) * 255^2).
constexpr int64_t kCrossing = int64_t(1) << 36;
// Alpha's error counts this many times a colour channel's (and its size
// besides, below): enough that alpha comes out near where our BC3 brings
// it, not so much that a step of alpha here and there outweighs colour
// that visibly shifts.
constexpr int kAlphaWeight = 32;
// Alpha with this many distinct levels at most (in a subset) has its ends
// solved from where its extremes could fall in the palette.
constexpr int kFewLevels = 6;
// Opaque blocks whose mode 6 error is at most this (squared, summed) keep it.
constexpr int64_t kGoodEnough = 16 * 3;

struct Block {
    int px[16][4];
    bool opaque = true;
    int cut = 128;
    bool low[16];  // below the cut
    bool searchAlpha = true;
    // How much a texel's colour counts: its alpha + 1 where the block has
    // alpha (colour under alpha 0 is never seen, save as filtering brings
    // it in), with alpha's own error counted kSeen times to match; 1 and 1
    // on opaque blocks.
    int seen[16];
    int alphaScale = 1;
};

// Colour at full alpha counts this much on blocks with alpha.
constexpr int kSeen = 256;
// A cut-out's edge that mode 5 gives with alpha exact and an error at most
// this (four times kGoodEnough, at full alpha) is not tried in mode 7.
constexpr int64_t kNearEnough = 4 * kGoodEnough * kSeen;

// Quantized ends of one subset: codes without their p-bits, then the p-bits.
struct Ends {
    int code[2][4] = {};
    int p[2] = {};
};

// How a subset is fitted: which channels share its indices.
struct Fit {
    const ModeInfo* mode;
    int firstChannel = 0, lastChannel = 3;  // channels first..last-1 are fitted
    int indexBits;
    bool alphaHeld = false;  // mode 6 on an opaque block: alpha ends 127 with p-bit 1
};

int widenTo8(int value, int bits) {
    value <<= 8 - bits;
    return value | (value >> bits);
}

// Channel c of an end as the decoder widens it.
int endValue(const Fit& f, const Ends& e, int end, int c) {
    const ModeInfo& m = *f.mode;
    const int bits = c < 3 ? m.colourBits : m.alphaBits;
    if (m.endpointPBits || m.sharedPBits) return widenTo8(e.code[end][c] << 1 | e.p[end], bits + 1);
    return widenTo8(e.code[end][c], bits);
}

int channelWeight(int c) { return c == 3 ? kAlphaWeight : 1; }

// Alpha's error counts by its size as well as squared, and the size by
// much: a step off on each of many texels, which the few levels of a thick
// fence's halvings invite, is as far off on the whole as a few texels many
// steps off; and between two blocks of alike squared error, the one with
// fewer texels off keeps more of a cut-out's levels exact.  Against the
// square alone (with alpha weighed more), this brings alpha nearer on
// fences and ramps for about the same colour.
constexpr int kAlphaSize = 12;
int64_t alphaCost(int diff) { return int64_t(diff) * diff + kAlphaSize * std::abs(diff); }

// For a weight 0..64, the index whose weight is nearest.
const uint8_t* indexForWeight(int indexBits) {
    static const auto tables = [] {
        std::array<std::array<uint8_t, 65>, 5> t{};
        for (int bits = 2; bits <= 4; ++bits) {
            const uint8_t* weights = bc7::weightsFor(bits);
            for (int w = 0; w <= 64; ++w) {
                int best = 0;
                for (int k = 1; k < (1 << bits); ++k)
                    if (std::abs(weights[k] - w) < std::abs(weights[best] - w)) best = k;
                t[size_t(bits)][size_t(w)] = uint8_t(best);
            }
        }
        return t;
    }();
    return tables[size_t(indexBits)].data();
}

// Nearest index for every texel of the subset; the subset's error.
// Channels C0..C1-1 are the fit's (f.firstChannel, f.lastChannel), fixed
// at compile time so that the loops over them unroll.
template <int C0, int C1>
int64_t assign(const Block& b, const Fit& f, const Ends& e, const int* ids, int n, int* index) {
    const int entries = 1 << f.indexBits;
    const uint8_t* weights = bc7::weightsFor(f.indexBits);
    int palette[16][4];
    bool paletteLow[16];
    int ends[2][4];
    for (int c = C0; c < C1; ++c)
        for (int k = 0; k < 2; ++k) ends[k][c] = endValue(f, e, k, c);
    for (int k = 0; k < entries; ++k) {
        for (int c = C0; c < C1; ++c)
            palette[k][c] = ((64 - weights[k]) * ends[0][c] + weights[k] * ends[1][c] + 32) >> 6;
        paletteLow[k] = C1 == 4 && palette[k][3] < b.cut;
    }
    const bool watchCut = !b.opaque && C1 == 4;
    const int64_t alphaWeight = int64_t(b.alphaScale) * kAlphaWeight;
    const bool weighed = !b.opaque;
    int64_t total = 0;
    if (!watchCut && entries > 4) {
        // The texel's place along the line picks an index; it and its two
        // neighbours are measured (the steps are not quite even).
        int along[4] = {}, length2 = 0;
        for (int c = C0; c < C1; ++c) {
            along[c] = ends[1][c] - ends[0][c];
            length2 += along[c] * along[c] * channelWeight(c);
        }
        const uint8_t* nearestIndex = indexForWeight(f.indexBits);
        for (int t = 0; t < n; ++t) {
            const int* x = b.px[ids[t]];
            int dot = 0;
            for (int c = C0; c < C1; ++c) dot += (x[c] - ends[0][c]) * along[c] * channelWeight(c);
            const int w = length2 > 0 ? std::clamp((dot * 64 + length2 / 2) / length2, 0, 64) : 0;
            const int guess = nearestIndex[w];
            int64_t best = INT64_MAX;
            int bestK = 0;
            for (int k = std::max(0, guess - 1); k <= std::min(entries - 1, guess + 1); ++k) {
                int64_t d = 0;
                for (int c = C0; c < std::min(C1, 3); ++c) {
                    const int diff = x[c] - palette[k][c];
                    d += int64_t(diff * diff);
                }
                if (weighed) d *= b.seen[ids[t]];
                if (C1 == 4) {
                    const int diff = x[3] - palette[k][3];
                    d += alphaWeight * diff * diff;
                }
                if (d < best) best = d, bestK = k;
            }
            index[t] = bestK;
            total += best;
        }
        return total;
    }
    const auto cost = [&](const int* x, int k, bool low, int seen) {
        int64_t d = 0;
        for (int c = C0; c < std::min(C1, 3); ++c) {
            const int diff = x[c] - palette[k][c];
            d += int64_t(diff * diff);
        }
        if (weighed) d *= seen;
        if (C1 == 4) d += alphaWeight * alphaCost(x[3] - palette[k][3]);
        if (watchCut && paletteLow[k] != low) d += kCrossing;
        return d;
    };
    // Where the line is long, as above: the index its place picks and the
    // two beside it, all of them where none keeps the texel on its side.
    int along[4] = {}, length2 = 0;
    const bool guessing = C0 == 0 && entries > 4;
    for (int c = C0; c < C1 && guessing; ++c) {
        along[c] = ends[1][c] - ends[0][c];
        length2 += along[c] * along[c] * channelWeight(c);
    }
    const uint8_t* nearestIndex = indexForWeight(f.indexBits);
    for (int t = 0; t < n; ++t) {
        const int* x = b.px[ids[t]];
        const bool low = b.low[ids[t]];
        int64_t best = INT64_MAX;
        int bestK = 0;
        if (guessing) {
            int dot = 0;
            for (int c = C0; c < C1; ++c) dot += (x[c] - ends[0][c]) * along[c] * channelWeight(c);
            const int w = length2 > 0 ? std::clamp((dot * 64 + length2 / 2) / length2, 0, 64) : 0;
            const int guess = nearestIndex[w];
            for (int k = std::max(0, guess - 1); k <= std::min(entries - 1, guess + 1); ++k) {
                const int64_t d = cost(x, k, low, b.seen[ids[t]]);
                if (d < best) best = d, bestK = k;
            }
        }
        if (best >= kCrossing)
            for (int k = 0; k < entries; ++k) {
                const int64_t d = cost(x, k, low, b.seen[ids[t]]);
                if (d < best) best = d, bestK = k;
            }
        index[t] = bestK;
        total += best;
    }
    return total;
}

// For every value in half steps (0, 0.5, ... 255), the nearest code of a
// channel and what it widens to: by width (4..8 bits) and low bit (none, 0, 1).
struct Nearest {
    uint8_t code[5][3][511];
    uint8_t value[5][3][511];
};

const Nearest& nearestCodes() {
    static const Nearest table = [] {
        Nearest t{};
        for (int bits = 4; bits <= 8; ++bits)
            for (int p = -1; p <= 1; ++p)
                for (int v = 0; v < 511; ++v) {
                    int best = 0, bestError = 1 << 30, bestValue = 0;
                    for (int code = 0; code < (1 << bits); ++code) {
                        const int w = p < 0 ? widenTo8(code, bits) : bits < 8 ? widenTo8(code << 1 | p, bits + 1) : -1;
                        if (w < 0) break;
                        if (std::abs(2 * w - v) < bestError)
                            bestError = std::abs(2 * w - v), best = code, bestValue = w;
                    }
                    t.code[bits - 4][p + 1][v] = uint8_t(best);
                    t.value[bits - 4][p + 1][v] = uint8_t(bestValue);
                }
        return t;
    }();
    return table;
}

// Ends for unquantized `point`s: each channel's nearest code, with the
// p-bits that leave the least error (one per end, or one per subset).
template <int C0, int C1>
Ends quantizeEnds(const Fit& f, const double (&point)[2][4]) {
    const ModeInfo& m = *f.mode;
    const Nearest& table = nearestCodes();
    Ends e;
    const bool hasP = m.endpointPBits || m.sharedPBits;
    int errorOf[2][2] = {};  // [end][p]
    int codeOf[2][2][4] = {};
    for (int end = 0; end < 2; ++end) {
        int target[4];  // in half steps
        for (int c = C0; c < C1; ++c) target[c] = int(point[end][c] * 2 + 0.5);
        for (int p = 0; p < (hasP ? 2 : 1); ++p)
            for (int c = C0; c < C1; ++c) {
                const int bits = c < 3 ? m.colourBits : m.alphaBits, column = hasP ? p + 1 : 0;
                codeOf[end][p][c] = table.code[bits - 4][column][target[c]];
                const int d = 2 * table.value[bits - 4][column][target[c]] - target[c];
                errorOf[end][p] += d * d * channelWeight(c);
            }
    }
    int chosen[2] = {0, 0};
    if (f.alphaHeld) {
        chosen[0] = chosen[1] = 1;
    } else if (m.endpointPBits) {
        for (int end = 0; end < 2; ++end) chosen[end] = errorOf[end][1] < errorOf[end][0] ? 1 : 0;
    } else if (m.sharedPBits) {
        chosen[0] = chosen[1] = errorOf[0][1] + errorOf[1][1] < errorOf[0][0] + errorOf[1][0] ? 1 : 0;
    }
    for (int end = 0; end < 2; ++end) {
        e.p[end] = chosen[end];
        for (int c = C0; c < C1; ++c) e.code[end][c] = codeOf[end][chosen[end]][c];
        if (f.alphaHeld) e.code[end][3] = 127;
    }
    return e;
}

// Alpha fitted on its own: the pair of ends (each any value the mode's
// alpha can take) whose palette leaves the least error, texels kept on
// their side of the cut first.  Values come as distinct levels with counts.
struct AlphaLevels {
    int distinct = 0;
    int value[16], count[16];
    bool low[16];
};

AlphaLevels alphaLevels(const Block& b, const int* ids, int n) {
    AlphaLevels l;
    for (int t = 0; t < n; ++t) {
        const int a = b.px[ids[t]][3];
        int v = 0;
        while (v < l.distinct && l.value[v] != a) ++v;
        if (v == l.distinct) {
            l.value[v] = a;
            l.count[v] = 0;
            l.low[v] = b.low[ids[t]];
            ++l.distinct;
        }
        ++l.count[v];
    }
    return l;
}

struct AlphaEnds {
    int64_t error = INT64_MAX;
    int end[2] = {0, 0};  // as `bits`-bit values, the p-bit (if any) lowest
};

// The error of ends `k0` and `k1` (of `bits` bits), given up once it
// reaches `bound`.
int64_t alphaError(const AlphaLevels& l, int k0, int k1, int bits, int indexBits, int cut, int64_t bound) {
    const int v0 = widenTo8(k0, bits), v1 = widenTo8(k1, bits);
    const uint8_t* weights = bc7::weightsFor(indexBits);
    const int entries = 1 << indexBits;
    int palette[16];
    for (int k = 0; k < entries; ++k) palette[k] = ((64 - weights[k]) * v0 + weights[k] * v1 + 32) >> 6;
    const auto cost = [&](int v, int k) {
        return alphaCost(l.value[v] - palette[k]) + ((palette[k] < cut) != l.low[v] ? kCrossing : 0);
    };
    // The palette runs one way, so the nearest entry is the index for the
    // value's place between the ends or one beside it; all of them are
    // looked at only where that one is across the cut.
    const uint8_t* nearestIndex = indexForWeight(indexBits);
    int64_t total = 0;
    for (int v = 0; v < l.distinct && total < bound; ++v) {
        const int w = v0 == v1 ? 0 : std::clamp(((l.value[v] - v0) * 128 / (v1 - v0) + 1) / 2, 0, 64);
        const int guess = nearestIndex[w];
        int64_t best = INT64_MAX;
        for (int k = std::max(0, guess - 1); k <= std::min(entries - 1, guess + 1); ++k)
            best = std::min(best, cost(v, k));
        if (best >= kCrossing)
            for (int k = 0; k < entries; ++k) best = std::min(best, cost(v, k));
        total += best * l.count[v];
    }
    return total;
}

AlphaEnds fitAlphaEnds(const AlphaLevels& l, int bits, int indexBits, int cut, bool coarse = true) {
    AlphaEnds best;
    const int top = (1 << bits) - 1;
    // Pairs already measured: the searches below come back to many of them,
    // and a pair measured again can never improve on itself.  Past what the
    // table holds, pairs are measured without being noted.
    constexpr int kSlots = 256, kNoted = 192;
    uint32_t noted[kSlots] = {};
    int notedCount = 0;
    const auto consider = [&](int k0, int k1) {
        k0 = std::clamp(k0, 0, top);
        k1 = std::clamp(k1, 0, top);
        const uint32_t key = uint32_t(k0 << 8 | k1) + 1;
        uint32_t slot = (key * 2654435761u) >> 24;
        while (noted[slot] != 0 && noted[slot] != key) slot = (slot + 1) & (kSlots - 1);
        if (noted[slot] == key) return;
        if (notedCount < kNoted) noted[slot] = key, ++notedCount;
        const int64_t e = alphaError(l, k0, k1, bits, indexBits, cut, best.error);
        if (e < best.error) best = {e, {k0, k1}};
    };
    const auto nearest = [&](int value) {  // the code that widens nearest to `value`
        int k = (value * top + 127) / 255;
        for (int step : {-1, 1})
            if (k + step >= 0 && k + step <= top &&
                std::abs(widenTo8(k + step, bits) - value) < std::abs(widenTo8(k, bits) - value))
                k += step;
        return k;
    };
    const auto [lowest, highest] = std::minmax_element(l.value, l.value + l.distinct);
    const int low = nearest(*lowest), high = nearest(*highest);
    consider(low, high);
    if (best.error == 0 || l.distinct <= 1) return best;
    // Few levels: the extremes on every pair of palette entries, ends
    // solved from them and rounded either way.  This finds the ends that
    // give every level exactly wherever there are any, which the steps
    // below, starting from the extremes, can miss.
    if (l.distinct <= kFewLevels) {
        const uint8_t* weights = bc7::weightsFor(indexBits);
        const int entries = 1 << indexBits, span = *highest - *lowest;
        for (int i = 0; i < entries - 1 && best.error > 0; ++i)
            for (int j = i + 1; j < entries && best.error > 0; ++j) {
                // v0 + (v1 - v0) w / 64 puts the extremes on entries i and j.
                const int gap = weights[j] - weights[i];
                const int width = span * 64 / gap, v0 = *lowest - weights[i] * width / 64;
                const int k0 = v0 * top / 255, k1 = (v0 + width) * top / 255;
                if (k0 < -1 || k1 > top + 1) continue;
                for (int d0 = 0; d0 <= 1; ++d0)
                    for (int d1 = 0; d1 <= 1; ++d1) consider(k0 + d0, k1 + d1);
            }
        if (best.error == 0) return best;
    }
    // Coarse to fine: a grid of steps of eight (in eight bits) around the
    // extremes, unless asked for a quick look, then each end moved by half
    // as much while that lowers the error, down to single codes.
    const int grid = 1 << (bits - 5);
    for (int k0 = low - 2 * grid; k0 <= low + 2 * grid && coarse; k0 += grid)
        for (int k1 = high - 2 * grid; k1 <= high + 2 * grid; k1 += grid) consider(k0, k1);
    for (int step = std::max(1, grid / 2); step >= 1 && best.error > 0; step /= 2)
        for (int round = 0; round < 4; ++round) {
            const AlphaEnds before = best;
            for (int move : {step, -step})
                for (int which = 0; which < 2; ++which)
                    consider(before.end[0] + (which == 0 ? move : 0), before.end[1] + (which == 1 ? move : 0));
            if (best.error == before.error) break;
        }
    return best;
}

struct SubsetFit {
    int64_t error = INT64_MAX;
    Ends ends;
    int index[16];
};

template <int C0, int C1>
void tryEnds(const Block& b, const Fit& f, const Ends& e, const int* ids, int n, SubsetFit& best) {
    int index[16];
    const int64_t error = assign<C0, C1>(b, f, e, ids, n, index);
    if (error >= best.error) return;
    best.error = error;
    best.ends = e;
    std::copy(index, index + n, best.index);
}

// Colour ends for unquantized `colour` points beside alpha ends already
// chosen (`bits`-bit values): where the mode has p-bits, alpha's low bit
// is each end's, and colour is quantized with it.
Ends besideAlpha(const Fit& f, const double (&colour)[2][4], const AlphaEnds& a) {
    const ModeInfo& m = *f.mode;
    const Nearest& table = nearestCodes();
    const bool hasP = m.endpointPBits || m.sharedPBits;
    Ends e;
    for (int end = 0; end < 2; ++end) {
        e.p[end] = hasP ? a.end[end] & 1 : 0;
        e.code[end][3] = hasP ? a.end[end] >> 1 : a.end[end];
        for (int c = 0; c < 3; ++c)
            e.code[end][c] = table.code[m.colourBits - 4][hasP ? e.p[end] + 1 : 0][int(colour[end][c] * 2 + 0.5)];
    }
    return e;
}

// Least squares ends for channels c0..c1-1 of the subset, given its indices.
bool leastSquares(const Block& b, const int* ids, int n, const int* index, int indexBits, int c0, int c1,
                  double (&point)[2][4]) {
    const uint8_t* weights = bc7::weightsFor(indexBits);
    // Colour by how much each texel's counts, alpha alike for all.
    const bool colour = c0 < 3, alpha = c1 == 4;
    double aa[2] = {}, ab[2] = {}, bb[2] = {}, ax[4] = {}, bx[4] = {};
    for (int t = 0; t < n; ++t) {
        const double w = weights[index[t]] / 64.0;
        const int* x = b.px[ids[t]];
        if (colour && b.opaque) {
            aa[0] += (1 - w) * (1 - w);
            ab[0] += (1 - w) * w;
            bb[0] += w * w;
            for (int c = c0; c < std::min(c1, 3); ++c) {
                ax[c] += (1 - w) * x[c];
                bx[c] += w * x[c];
            }
        } else if (colour) {
            const double v = b.seen[ids[t]];
            aa[0] += (1 - w) * v * (1 - w);
            ab[0] += (1 - w) * v * w;
            bb[0] += w * v * w;
            for (int c = c0; c < std::min(c1, 3); ++c) {
                ax[c] += (1 - w) * v * x[c];
                bx[c] += w * v * x[c];
            }
        }
        if (alpha) {
            aa[1] += (1 - w) * (1 - w);
            ab[1] += (1 - w) * w;
            bb[1] += w * w;
            ax[3] += (1 - w) * x[3];
            bx[3] += w * x[3];
        }
    }
    for (int c = c0; c < c1; ++c) {
        const int g = c < 3 ? 0 : 1;
        const double det = aa[g] * bb[g] - ab[g] * ab[g];
        if (det < 1e-9 * (g == 0 ? b.alphaScale * b.alphaScale : 1)) return false;
        point[0][c] = std::clamp((bb[g] * ax[c] - ab[g] * bx[c]) / det, 0.0, 255.0);
        point[1][c] = std::clamp((aa[g] * bx[c] - ab[g] * ax[c]) / det, 0.0, 255.0);
    }
    return true;
}

template <int C0, int C1>
SubsetFit fitSubset(const Block& b, const Fit& f, const int* ids, int n) {
    constexpr int c0 = C0, c1 = C1;
    if (C0 == 3) {
        // Alpha on its own line: the ends searched on their own are the fit.
        // Each level takes its nearest index (on its side of the cut), the
        // same for every texel that has it.
        const ModeInfo& m = *f.mode;
        const AlphaLevels l = alphaLevels(b, ids, n);
        SubsetFit best;
        const double none[2][4] = {};
        best.ends = besideAlpha(f, none, fitAlphaEnds(l, m.alphaBits, f.indexBits, b.cut, false));
        const uint8_t* weights = bc7::weightsFor(f.indexBits);
        const int v0 = endValue(f, best.ends, 0, 3), v1 = endValue(f, best.ends, 1, 3);
        const int64_t alphaWeight = int64_t(b.alphaScale) * kAlphaWeight;
        int levelIndex[16];
        best.error = 0;
        for (int v = 0; v < l.distinct; ++v) {
            int64_t least = INT64_MAX;
            for (int k = 0; k < (1 << f.indexBits); ++k) {
                const int entry = ((64 - weights[k]) * v0 + weights[k] * v1 + 32) >> 6;
                int64_t d = alphaWeight * alphaCost(l.value[v] - entry);
                if ((entry < b.cut) != l.low[v]) d += kCrossing;
                if (d < least) least = d, levelIndex[v] = k;
            }
            best.error += least * l.count[v];
        }
        for (int t = 0; t < n; ++t) {
            int v = 0;
            while (l.value[v] != b.px[ids[t]][3]) ++v;
            best.index[t] = levelIndex[v];
        }
        return best;
    }
    double mean[4] = {};
    for (int t = 0; t < n; ++t)
        for (int c = c0; c < c1; ++c) mean[c] += b.px[ids[t]][c];
    for (int c = c0; c < c1; ++c) mean[c] /= n;
    double cov[4][4] = {};
    for (int t = 0; t < n; ++t) {
        double d[4];
        for (int c = c0; c < c1; ++c) d[c] = b.px[ids[t]][c] - mean[c];
        for (int j = c0; j < c1; ++j)
            for (int k = c0; k < c1; ++k) cov[j][k] += d[j] * d[k];
    }
    // Power iteration from the row of the widest channel.
    int widest = c0;
    for (int c = c0; c < c1; ++c)
        if (cov[c][c] > cov[widest][widest]) widest = c;
    double axis[4] = {};
    for (int c = c0; c < c1; ++c) axis[c] = cov[widest][c];
    for (int round = 0; round < 4; ++round) {
        double next[4] = {}, largest = 0;
        for (int j = c0; j < c1; ++j) {
            for (int k = c0; k < c1; ++k) next[j] += cov[j][k] * axis[k];
            largest = std::max(largest, std::abs(next[j]));
        }
        if (largest < 1e-12) break;
        for (int c = c0; c < c1; ++c) axis[c] = next[c] / largest;
    }
    double length2 = 0;
    for (int c = c0; c < c1; ++c) length2 += axis[c] * axis[c];
    double low = 0, high = 0;
    for (int t = 0; t < n && length2 > 1e-12; ++t) {
        double p = 0;
        for (int c = c0; c < c1; ++c) p += (b.px[ids[t]][c] - mean[c]) * axis[c];
        p /= length2;
        low = std::min(low, p);
        high = std::max(high, p);
    }
    double point[2][4] = {};
    for (int c = c0; c < c1; ++c) {
        point[0][c] = std::clamp(mean[c] + axis[c] * low, 0.0, 255.0);
        point[1][c] = std::clamp(mean[c] + axis[c] * high, 0.0, 255.0);
    }
    SubsetFit best;
    const double axisEnds[2][4] = {{point[0][0], point[0][1], point[0][2], point[0][3]},
                                   {point[1][0], point[1][1], point[1][2], point[1][3]}};
    if (C1 < 4 || !b.searchAlpha) {
        tryEnds<C0, C1>(b, f, quantizeEnds<C0, C1>(f, point), ids, n, best);
        // Least squares from the indices (a second round gains little).
        for (int round = 0; round < 1; ++round) {
            if (!leastSquares(b, ids, n, best.index, f.indexBits, c0, c1, point)) break;
            const int64_t before = best.error;
            tryEnds<C0, C1>(b, f, quantizeEnds<C0, C1>(f, point), ids, n, best);
            if (best.error == before) break;
        }
    } else {
        // Alpha first, on blocks the plain fit has left with alpha off: its
        // ends searched on their own, then colour fitted to the indices
        // they give, either way round along the colour axis and then by
        // least squares from the indices the better one gives.
        const ModeInfo& m = *f.mode;
        const int bits = m.alphaBits + (m.endpointPBits || m.sharedPBits ? 1 : 0);
        const AlphaEnds a = fitAlphaEnds(alphaLevels(b, ids, n), bits, f.indexBits, b.cut);
        {
            const double turned[2][4] = {{axisEnds[1][0], axisEnds[1][1], axisEnds[1][2], axisEnds[1][3]},
                                         {axisEnds[0][0], axisEnds[0][1], axisEnds[0][2], axisEnds[0][3]}};
            SubsetFit first;
            tryEnds<C0, C1>(b, f, besideAlpha(f, axisEnds, a), ids, n, first);
            tryEnds<C0, C1>(b, f, besideAlpha(f, turned, a), ids, n, first);
            double colour[2][4] = {};
            for (int round = 0; round < 2; ++round) {
                if (!leastSquares(b, ids, n, first.index, f.indexBits, 0, 3, colour)) break;
                const int64_t before = first.error;
                tryEnds<C0, C1>(b, f, besideAlpha(f, colour, a), ids, n, first);
                if (first.error == before) break;
            }
            if (first.error < best.error) best = first;
        }
    }
    return best;
}

SubsetFit fitAny(const Block& b, const Fit& f, const int* ids, int n) {
    if (f.firstChannel == 3) return fitSubset<3, 4>(b, f, ids, n);
    return f.lastChannel == 4 ? fitSubset<0, 4>(b, f, ids, n) : fitSubset<0, 3>(b, f, ids, n);
}

// A whole block in one mode: what is written, and its error.
struct Encoding {
    int64_t error = INT64_MAX;
    int mode = 6, shape = 0, rotation = 0, selector = 0;
    Ends ends[3];
    int index[16] = {}, second[16] = {};
};

// Fields from the low end of a 128-bit little-endian number.
class BitWriter {
public:
    explicit BitWriter(uint8_t* out) : out_(out) {}
    ~BitWriter() {
        for (int k = 0; k < 16; ++k) out_[k] = uint8_t(half_[k / 8] >> (8 * (k % 8)));
    }
    void put(int value, int count) {
        const uint64_t v = uint64_t(value) & ((uint64_t(1) << count) - 1);
        if (at_ < 64) {
            half_[0] |= v << at_;
            if (at_ + count > 64) half_[1] |= v >> (64 - at_);
        } else {
            half_[1] |= v << (at_ - 64);
        }
        at_ += count;
    }

private:
    uint8_t* out_;
    uint64_t half_[2] = {};
    int at_ = 0;
};

// Anchors need a clear top index bit: where one has it set, that subset's
// ends (and p-bits) swap and its indices turn round.
void settleAnchors(Encoding& e) {
    const ModeInfo& m = bc7::kModes[size_t(e.mode)];
    if (m.secondIndexBits) {
        // Modes 4 and 5: one subset, anchor texel 0 in both index sets; the
        // selector says which set serves colour and which alpha.
        const auto turn = [&](int* index, int bits, int firstChannel, int lastChannel) {
            const int top = (1 << bits) - 1;
            if (index[0] <= top / 2) return;
            for (int c = firstChannel; c < lastChannel; ++c) std::swap(e.ends[0].code[0][c], e.ends[0].code[1][c]);
            for (int i = 0; i < 16; ++i) index[i] = top - index[i];
        };
        turn(e.index, m.indexBits, e.selector ? 3 : 0, e.selector ? 4 : 3);
        turn(e.second, m.secondIndexBits, e.selector ? 0 : 3, e.selector ? 3 : 4);
        return;
    }
    for (int s = 0; s < m.subsets; ++s) {
        int anchor = 0;
        for (int i = 0; i < 16; ++i)
            if (bc7::subsetOf(m.subsets, e.shape, i) == s && bc7::isAnchor(m.subsets, e.shape, i)) anchor = i;
        const int top = (1 << m.indexBits) - 1;
        if (e.index[anchor] <= top / 2) continue;
        for (int c = 0; c < 4; ++c) std::swap(e.ends[s].code[0][c], e.ends[s].code[1][c]);
        std::swap(e.ends[s].p[0], e.ends[s].p[1]);
        for (int i = 0; i < 16; ++i)
            if (bc7::subsetOf(m.subsets, e.shape, i) == s) e.index[i] = top - e.index[i];
    }
}

void pack(Encoding e, uint8_t* out) {
    settleAnchors(e);
    const ModeInfo& m = bc7::kModes[size_t(e.mode)];
    BitWriter w(out);
    w.put(1 << e.mode, e.mode + 1);
    w.put(e.shape, m.partitionBits);
    w.put(e.rotation, m.rotationBits);
    w.put(e.selector, m.selectorBits);
    for (int c = 0; c < 3; ++c)
        for (int s = 0; s < m.subsets; ++s)
            for (int end = 0; end < 2; ++end) w.put(e.ends[s].code[end][c], m.colourBits);
    if (m.alphaBits)
        for (int s = 0; s < m.subsets; ++s)
            for (int end = 0; end < 2; ++end) w.put(e.ends[s].code[end][3], m.alphaBits);
    for (int s = 0; s < m.subsets; ++s) {
        if (m.endpointPBits) {
            w.put(e.ends[s].p[0], 1);
            w.put(e.ends[s].p[1], 1);
        } else if (m.sharedPBits) {
            w.put(e.ends[s].p[0], 1);
        }
    }
    for (int i = 0; i < 16; ++i) w.put(e.index[i], m.indexBits - (bc7::isAnchor(m.subsets, e.shape, i) ? 1 : 0));
    if (m.secondIndexBits)
        for (int i = 0; i < 16; ++i) w.put(e.second[i], m.secondIndexBits - (i == 0 ? 1 : 0));
}

// Modes 0, 1, 3, 6, 7: every subset on its own line, `shape` choosing them.
// Once the error reaches `bound` (that of a block in hand), the rest is
// not fitted: the block can only lose.
Encoding encodeShaped(const Block& b, int mode, int shape, int64_t bound = INT64_MAX) {
    const ModeInfo& m = bc7::kModes[size_t(mode)];
    Fit f{&m, 0, 3, m.indexBits};
    f.lastChannel = m.alphaBits ? 4 : 3;
    if (mode == 6 && b.opaque) {
        f.lastChannel = 3;
        f.alphaHeld = true;
    }
    Encoding e;
    e.mode = mode;
    e.shape = shape;
    e.error = 0;
    for (int s = 0; s < m.subsets && e.error < bound; ++s) {
        int ids[16], n = 0;
        for (int i = 0; i < 16; ++i)
            if (bc7::subsetOf(m.subsets, shape, i) == s) ids[n++] = i;
        const SubsetFit fit = fitAny(b, f, ids, n);
        e.error += fit.error;
        e.ends[s] = fit.ends;
        for (int t = 0; t < n; ++t) e.index[ids[t]] = fit.index[t];
    }
    return e;
}

// Modes 4 and 5: colour and alpha each on a line of their own.  Mode 4's
// selector gives colour the three-bit indices (1) or the two-bit ones (0).
// Alpha is fitted first; where its error alone reaches `bound`, colour is
// not fitted.
Encoding encodeSeparate(const Block& b, int mode, int selector, int64_t bound = INT64_MAX) {
    const ModeInfo& m = bc7::kModes[size_t(mode)];
    int ids[16];
    for (int i = 0; i < 16; ++i) ids[i] = i;
    Fit colour{&m, 0, 3, selector ? m.secondIndexBits : m.indexBits};
    Fit alpha{&m, 3, 4, selector ? m.indexBits : m.secondIndexBits};
    const SubsetFit a = fitAny(b, alpha, ids, 16);
    Encoding e;
    e.mode = mode;
    e.selector = selector;
    e.error = a.error;
    if (e.error >= bound) return e;
    const SubsetFit c = fitAny(b, colour, ids, 16);
    e.error += c.error;
    e.ends[0] = c.ends;
    for (int end = 0; end < 2; ++end) e.ends[0].code[end][3] = a.ends.code[end][3];
    for (int i = 0; i < 16; ++i) {
        e.index[i] = selector ? a.index[i] : c.index[i];
        e.second[i] = selector ? c.index[i] : a.index[i];
    }
    return e;
}

// Subset 1's texels of each two-subset shape, as bits.
const std::array<uint16_t, 64>& shapeMasks() {
    static const auto masks = [] {
        std::array<uint16_t, 64> m{};
        for (int shape = 0; shape < 64; ++shape)
            for (int i = 0; i < 16; ++i) m[size_t(shape)] |= uint16_t(bc7::kShapes2[shape][i] << i);
        return m;
    }();
    return masks;
}

// The variance of `n` texels left off their principal axis, from their
// sums and sums of products (channels 0..C-1; products in the order
// 00 01 02 (03) 11 12 (13) 22 (23) (33)).
template <int C>
float offLine(const float* sum, const float* product, int n) {
    if (n < 2) return 0;
    float cov[C][C];
    const float inverse = 1.0f / float(n);
    int k = 0;
    for (int c = 0; c < C; ++c)
        for (int d = c; d < C; ++d, ++k) cov[c][d] = cov[d][c] = product[k] - sum[c] * sum[d] * inverse;
    float trace = 0;
    int widest = 0;
    for (int c = 0; c < C; ++c) {
        trace += cov[c][c];
        if (cov[c][c] > cov[widest][widest]) widest = c;
    }
    float axis[C];
    for (int c = 0; c < C; ++c) axis[c] = cov[widest][c];
    for (int round = 0; round < 2; ++round) {
        float next[C] = {};
        for (int c = 0; c < C; ++c)
            for (int d = 0; d < C; ++d) next[c] += cov[c][d] * axis[d];
        for (int c = 0; c < C; ++c) axis[c] = next[c];
    }
    float along = 0, length2 = 0;
    for (int c = 0; c < C; ++c) {
        float row = 0;
        for (int d = 0; d < C; ++d) row += cov[c][d] * axis[d];
        along += axis[c] * row;
        length2 += axis[c] * axis[c];
    }
    return length2 > 1e-12f ? std::max(0.0f, trace - along / length2) : 0.0f;
}

// The two-subset shapes most likely to fit the block, best first.  The
// texels are split at their mean along the block's principal axis; the
// shapes nearest that split (fewest texels on the other side) are ranked
// by how far their texels lie off each subset's own line.
template <int C>
void rankShapes(const Block& b, int* order, int keep) {
    constexpr int kProducts = C * (C + 1) / 2;
    float value[16][C], product[16][kProducts], sum[C] = {}, products[kProducts] = {};
    for (int i = 0; i < 16; ++i) {
        int k = 0;
        for (int c = 0; c < C; ++c) {
            value[i][c] = float(b.px[i][c]);
            sum[c] += value[i][c];
            for (int d = c; d < C; ++d, ++k) product[i][k] = float(b.px[i][c] * b.px[i][d]);
        }
        for (k = 0; k < kProducts; ++k) products[k] += product[i][k];
    }
    // The block's axis, by power iteration.
    float mean[C], cov[C][C];
    for (int c = 0; c < C; ++c) mean[c] = sum[c] / 16;
    int k = 0;
    for (int c = 0; c < C; ++c)
        for (int d = c; d < C; ++d, ++k) cov[c][d] = cov[d][c] = products[k] - sum[c] * sum[d] / 16;
    int widest = 0;
    for (int c = 1; c < C; ++c)
        if (cov[c][c] > cov[widest][widest]) widest = c;
    float axis[C];
    for (int c = 0; c < C; ++c) axis[c] = cov[widest][c];
    for (int round = 0; round < 3; ++round) {
        float next[C] = {}, largest = 0;
        for (int c = 0; c < C; ++c) {
            for (int d = 0; d < C; ++d) next[c] += cov[c][d] * axis[d];
            largest = std::max(largest, std::abs(next[c]));
        }
        if (largest < 1e-12f) break;
        for (int c = 0; c < C; ++c) axis[c] = next[c] / largest;
    }
    unsigned split = 0;
    for (int i = 0; i < 16; ++i) {
        float p = 0;
        for (int c = 0; c < C; ++c) p += (value[i][c] - mean[c]) * axis[c];
        split |= unsigned(p > 0) << i;
    }
    const auto& masks = shapeMasks();
    int near[64];
    int distance[64];
    for (int shape = 0; shape < 64; ++shape) {
        const int d = std::popcount(split ^ masks[size_t(shape)]);
        distance[shape] = std::min(d, 16 - d);
        near[shape] = shape;
    }
    // Blocks with alpha have their alpha-first shapes besides: fewer here.
    constexpr int kNear = C == 4 ? 4 : 8;
    std::partial_sort(near, near + kNear, near + 64,
                      [&](int x, int y) { return distance[x] != distance[y] ? distance[x] < distance[y] : x < y; });
    float score[kNear];
    for (int r = 0; r < kNear; ++r) {
        const unsigned mask = masks[size_t(near[r])];
        float inSum[C] = {}, inProducts[kProducts] = {}, outSum[C], outProducts[kProducts];
        for (int i = 0; i < 16; ++i) {
            if (!((mask >> i) & 1)) continue;
            for (int c = 0; c < C; ++c) inSum[c] += value[i][c];
            for (int q = 0; q < kProducts; ++q) inProducts[q] += product[i][q];
        }
        for (int c = 0; c < C; ++c) outSum[c] = sum[c] - inSum[c];
        for (int q = 0; q < kProducts; ++q) outProducts[q] = products[q] - inProducts[q];
        const int n = std::popcount(mask);
        score[r] = offLine<C>(inSum, inProducts, n) + offLine<C>(outSum, outProducts, 16 - n);
    }
    int ranked[kNear];
    for (int r = 0; r < kNear; ++r) ranked[r] = r;
    std::stable_sort(ranked, ranked + kNear, [&](int x, int y) { return score[x] < score[y]; });
    for (int r = 0; r < keep; ++r) order[r] = near[ranked[r]];
}

// The two-subset shapes whose subsets' alpha mode 7 follows best, best
// first: each subset's alpha given the ends nearest its extremes.  A
// subset's levels come from the block's, each with the texels it holds.
void rankAlphaShapes(const Block& b, int* order, int keep) {
    int all[16];
    for (int i = 0; i < 16; ++i) all[i] = i;
    const AlphaLevels block = alphaLevels(b, all, 16);
    unsigned texels[16] = {};
    for (int i = 0; i < 16; ++i)
        for (int v = 0; v < block.distinct; ++v)
            if (b.px[i][3] == block.value[v]) texels[v] |= 1u << i;
    const auto& masks = shapeMasks();
    const auto levelsOf = [&](unsigned mine) {
        AlphaLevels l;
        for (int v = 0; v < block.distinct; ++v) {
            unsigned t = texels[v] & mine;
            if (!t) continue;
            l.value[l.distinct] = block.value[v];
            l.low[l.distinct] = block.low[v];
            l.count[l.distinct] = 0;
            for (; t; t &= t - 1) ++l.count[l.distinct];
            ++l.distinct;
        }
        return l;
    };
    int64_t score[64];
    int shapes[64];
    for (int shape = 0; shape < 64; ++shape) {
        shapes[shape] = shape;
        score[shape] = 0;
        for (const unsigned mine : {~unsigned(masks[size_t(shape)]) & 0xffffu, unsigned(masks[size_t(shape)])}) {
            const AlphaLevels l = levelsOf(mine);
            const auto [lowest, highest] = std::minmax_element(l.value, l.value + l.distinct);
            // Six-bit ends (five and the p-bit) nearest the extremes.
            score[shape] +=
                alphaError(l, (*lowest * 63 + 127) / 255, (*highest * 63 + 127) / 255, 6, 2, b.cut, INT64_MAX);
        }
    }
    const auto better = [&](int x, int y) { return score[x] != score[y] ? score[x] < score[y] : x < y; };
    // The likeliest of them measured with the best ends there are.
    constexpr int kMeasured = 4;
    std::partial_sort(shapes, shapes + kMeasured, shapes + 64, better);
    for (int r = 0; r < kMeasured; ++r) {
        const int shape = shapes[r];
        score[shape] = 0;
        for (const unsigned mine : {~unsigned(masks[size_t(shape)]) & 0xffffu, unsigned(masks[size_t(shape)])})
            score[shape] += fitAlphaEnds(levelsOf(mine), 6, 2, b.cut, false).error;
    }
    std::partial_sort(shapes, shapes + keep, shapes + kMeasured, better);
    std::copy(shapes, shapes + keep, order);
}

// How far the block's alpha comes out, summed over its texels.
int alphaOff(const Encoding& e, const uint8_t* rgba) {
    const ModeInfo& m = bc7::kModes[size_t(e.mode)];
    const bool separate = m.secondIndexBits != 0;
    const int bits = separate && !e.selector ? m.secondIndexBits : m.indexBits;
    const Fit f{&m, 3, 4, bits};
    const uint8_t* weights = bc7::weightsFor(bits);
    int off = 0;
    for (int i = 0; i < 16; ++i) {
        const int s = separate ? 0 : bc7::subsetOf(m.subsets, e.shape, i);
        const int w = weights[separate && !e.selector ? e.second[i] : e.index[i]];
        const int a = ((64 - w) * endValue(f, e.ends[s], 0, 3) + w * endValue(f, e.ends[s], 1, 3) + 32) >> 6;
        off += std::abs(a - rgba[4 * i + 3]);
    }
    return off;
}

void keepBetter(Encoding&& candidate, Encoding& best) {
    if (candidate.error < best.error) best = std::move(candidate);
}

}  // namespace

void encodeBc7Block(const uint8_t* rgba, uint8_t* out, int alphaCut) {
    Block b;
    b.cut = alphaCut;
    b.searchAlpha = false;
    std::fill(b.seen, b.seen + 16, 1);
    // A block nobody sees needs its alpha; its colours only matter to filtering.
    bool hidden = true;
    for (int i = 0; i < 16; ++i) {
        for (int c = 0; c < 4; ++c) b.px[i][c] = rgba[4 * i + c];
        b.opaque &= rgba[4 * i + 3] == 255;
        b.low[i] = rgba[4 * i + 3] < alphaCut;
        hidden &= rgba[4 * i + 3] == 0;
    }
    if (!b.opaque) {
        b.alphaScale = kSeen;
        for (int i = 0; i < 16; ++i) b.seen[i] = rgba[4 * i + 3] + 1;
    }
    Encoding best;
    if (b.opaque || hidden) {
        best = encodeShaped(b, 6, 0);
        if (b.opaque && best.error > kGoodEnough) {
            int shapes[2];
            rankShapes<3>(b, shapes, 2);
            for (int k = 0; k < 2; ++k) keepBetter(encodeShaped(b, 1, shapes[k], best.error), best);
            keepBetter(encodeShaped(b, 3, shapes[0], best.error), best);
        }
    } else {
        // Mode 5 first.  Where it gives alpha exactly, mode 4 with colour on
        // the two-bit indices can only do worse (the same indices, coarser
        // ends), and modes 6 and 7, whose alpha shares colour's indices,
        // seldom do better: mode 7 is tried still at a cut-out's edge, where
        // its shapes can part the texels seen from those that are not,
        // unless the colour seen is near already.
        best = encodeSeparate(b, 5, 0);
        const bool exact = alphaOff(best, rgba) == 0;
        keepBetter(encodeSeparate(b, 4, 1, best.error), best);
        if (!exact) {
            keepBetter(encodeShaped(b, 6, 0, best.error), best);
            keepBetter(encodeSeparate(b, 4, 0, best.error), best);
        }
        bool straddles = false;
        for (int i = 1; i < 16; ++i) straddles |= b.low[i] != b.low[0];
        if (!exact || (straddles && best.error > kNearEnough)) {
            int shape;
            rankShapes<4>(b, &shape, 1);
            keepBetter(encodeShaped(b, 7, shape, best.error), best);
        }
        // Where alpha is off at all, mode 6 alpha first, and then, if it is
        // still off, mode 7 alpha first on the shapes that suit alpha best.
        // Even a step or two off on a few texels is worth the searches: on
        // levels of a few values, such as a thick fence's halvings, the
        // plain fits often leave every block a step or two off that mode 6
        // or 7 alpha first gives exactly for a little colour.
        if (alphaOff(best, rgba) > 0) {
            b.searchAlpha = true;
            keepBetter(encodeShaped(b, 6, 0, best.error), best);
            if (alphaOff(best, rgba) > 0) {
                int alphaShapes[2];
                rankAlphaShapes(b, alphaShapes, 2);
                for (int s : alphaShapes) keepBetter(encodeShaped(b, 7, s, best.error), best);
            }
        }
    }
    pack(best, out);
}

}  // namespace quor::blocks
