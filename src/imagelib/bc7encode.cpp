// BC7 encoding.  Each subset of a block is fitted as a line: the ends of
// its texels' principal axis, quantized (with the better low bit where the
// mode has one), then least squares from the indices those ends give, twice.
// Which modes are tried:
//  - opaque blocks: mode 6 (alpha held at 255); where that leaves error, the
//    two-subset shapes are ranked by how far their texels lie off the line
//    of each subset, and modes 1 and 3 fitted to the best few;
//  - blocks with alpha: mode 6 (colour and alpha on one line), modes 4 and 5
//    (alpha on its own indices), and mode 7 on the best-ranked shapes.
// The lowest error wins; a texel that an index would carry across the alpha
// cut costs more than any error, so cut-outs keep their edges.  Integer
// arithmetic decides everything that reaches the bytes, apart from least
// squares in double precision with contraction off, so every build writes
// the same blocks.
#include "bc7.h"
#include "bc7tables.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace quor::blocks {
namespace {

using bc7::ModeInfo;

// A texel carried across the cut costs this much, more than any error a
// block can have otherwise (16 texels * 4 channels * 255^2 * weight).
constexpr int64_t kCrossing = int64_t(1) << 36;
// Alpha's error counts this many times a colour channel's, so that alpha
// keeps close to what BC3 gives it.
constexpr int kAlphaWeight = 2;
// Opaque blocks whose mode 6 error is at most this (squared, summed) keep it.
constexpr int64_t kGoodEnough = 16 * 3;

struct Block {
    int px[16][4];
    bool opaque = true;
    int cut = 128;
    bool low[16];  // below the cut
};

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

// Nearest index for every texel of the subset; the subset's error.
int64_t assign(const Block& b, const Fit& f, const Ends& e, const int* ids, int n, int* index) {
    const int entries = 1 << f.indexBits;
    const uint8_t* weights = bc7::weightsFor(f.indexBits);
    int palette[16][4];
    bool paletteLow[16];
    int ends[2][4];
    for (int c = f.firstChannel; c < f.lastChannel; ++c)
        for (int k = 0; k < 2; ++k) ends[k][c] = endValue(f, e, k, c);
    for (int k = 0; k < entries; ++k) {
        for (int c = f.firstChannel; c < f.lastChannel; ++c)
            palette[k][c] = ((64 - weights[k]) * ends[0][c] + weights[k] * ends[1][c] + 32) >> 6;
        paletteLow[k] = f.lastChannel == 4 && palette[k][3] < b.cut;
    }
    const bool watchCut = !b.opaque && f.lastChannel == 4;
    int64_t total = 0;
    for (int t = 0; t < n; ++t) {
        const int* x = b.px[ids[t]];
        int64_t best = INT64_MAX;
        int bestK = 0;
        for (int k = 0; k < entries; ++k) {
            int64_t d = 0;
            for (int c = f.firstChannel; c < f.lastChannel; ++c) {
                const int diff = x[c] - palette[k][c];
                d += int64_t(diff * diff * channelWeight(c));
            }
            if (watchCut && paletteLow[k] != b.low[ids[t]]) d += kCrossing;
            if (d < best) best = d, bestK = k;
        }
        index[t] = bestK;
        total += best;
    }
    return total;
}

// The code (and the error it leaves) nearest to `value` for a channel of
// `bits` bits with low bit `p` (p < 0: the mode has none).
int quantizeChannel(double value, int bits, int p, double* error) {
    const int top = (1 << bits) - 1;
    const int total = p < 0 ? bits : bits + 1;
    const double scaled = value / 255.0 * ((1 << total) - 1);
    int guess = p < 0 ? int(std::lround(scaled)) : int(std::lround((scaled - p) / 2));
    int best = 0;
    double bestError = 1e300;
    for (int q = guess - 1; q <= guess + 1; ++q) {
        const int code = std::clamp(q, 0, top);
        const int v = p < 0 ? widenTo8(code, bits) : widenTo8(code << 1 | p, bits + 1);
        const double d = (v - value) * (v - value);
        if (d < bestError) bestError = d, best = code;
    }
    *error = bestError;
    return best;
}

// Ends for unquantized `point`s: each channel's nearest code, with the
// p-bits that leave the least error (one per end, or one per subset).
Ends quantizeEnds(const Fit& f, const double (&point)[2][4]) {
    const ModeInfo& m = *f.mode;
    Ends e;
    const bool hasP = m.endpointPBits || m.sharedPBits;
    double errorOf[2][2] = {};  // [end][p]
    int codeOf[2][2][4] = {};
    for (int end = 0; end < 2; ++end)
        for (int p = 0; p < (hasP ? 2 : 1); ++p)
            for (int c = f.firstChannel; c < f.lastChannel; ++c) {
                double d;
                const int bits = c < 3 ? m.colourBits : m.alphaBits;
                codeOf[end][p][c] = quantizeChannel(point[end][c], bits, hasP ? p : -1, &d);
                errorOf[end][p] += d * channelWeight(c);
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
        for (int c = f.firstChannel; c < f.lastChannel; ++c) e.code[end][c] = codeOf[end][chosen[end]][c];
        if (f.alphaHeld) e.code[end][3] = 127;
    }
    return e;
}

struct SubsetFit {
    int64_t error = INT64_MAX;
    Ends ends;
    int index[16];
};

void tryEnds(const Block& b, const Fit& f, const Ends& e, const int* ids, int n, SubsetFit& best) {
    int index[16];
    const int64_t error = assign(b, f, e, ids, n, index);
    if (error >= best.error) return;
    best.error = error;
    best.ends = e;
    std::copy(index, index + n, best.index);
}

SubsetFit fitSubset(const Block& b, const Fit& f, const int* ids, int n) {
    const int c0 = f.firstChannel, c1 = f.lastChannel;
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
    tryEnds(b, f, quantizeEnds(f, point), ids, n, best);

    // Least squares from the indices, twice.
    const uint8_t* weights = bc7::weightsFor(f.indexBits);
    for (int round = 0; round < 2; ++round) {
        double aa = 0, ab = 0, bb = 0, ax[4] = {}, bx[4] = {};
        for (int t = 0; t < n; ++t) {
            const double w = weights[best.index[t]] / 64.0;
            aa += (1 - w) * (1 - w);
            ab += (1 - w) * w;
            bb += w * w;
            for (int c = c0; c < c1; ++c) {
                ax[c] += (1 - w) * b.px[ids[t]][c];
                bx[c] += w * b.px[ids[t]][c];
            }
        }
        const double det = aa * bb - ab * ab;
        if (det < 1e-9) break;
        for (int c = c0; c < c1; ++c) {
            point[0][c] = std::clamp((bb * ax[c] - ab * bx[c]) / det, 0.0, 255.0);
            point[1][c] = std::clamp((aa * bx[c] - ab * ax[c]) / det, 0.0, 255.0);
        }
        const int64_t before = best.error;
        tryEnds(b, f, quantizeEnds(f, point), ids, n, best);
        if (best.error == before) break;
    }
    return best;
}

// A whole block in one mode: what is written, and its error.
struct Encoding {
    int64_t error = INT64_MAX;
    int mode = 6, shape = 0, rotation = 0, selector = 0;
    Ends ends[3];
    int index[16] = {}, second[16] = {};
};

class BitWriter {
public:
    explicit BitWriter(uint8_t* out) : out_(out) { std::memset(out, 0, 16); }
    void put(int value, int count) {
        for (int k = 0; k < count; ++k, ++at_) out_[at_ >> 3] |= uint8_t(((value >> k) & 1) << (at_ & 7));
    }

private:
    uint8_t* out_;
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
Encoding encodeShaped(const Block& b, int mode, int shape) {
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
    for (int s = 0; s < m.subsets; ++s) {
        int ids[16], n = 0;
        for (int i = 0; i < 16; ++i)
            if (bc7::subsetOf(m.subsets, shape, i) == s) ids[n++] = i;
        const SubsetFit fit = fitSubset(b, f, ids, n);
        e.error += fit.error;
        e.ends[s] = fit.ends;
        for (int t = 0; t < n; ++t) e.index[ids[t]] = fit.index[t];
    }
    return e;
}

// Modes 4 and 5: colour and alpha each on a line of their own.  Mode 4's
// selector gives colour the three-bit indices (1) or the two-bit ones (0).
Encoding encodeSeparate(const Block& b, int mode, int selector) {
    const ModeInfo& m = bc7::kModes[size_t(mode)];
    int ids[16];
    for (int i = 0; i < 16; ++i) ids[i] = i;
    Fit colour{&m, 0, 3, selector ? m.secondIndexBits : m.indexBits};
    Fit alpha{&m, 3, 4, selector ? m.indexBits : m.secondIndexBits};
    const SubsetFit c = fitSubset(b, colour, ids, 16), a = fitSubset(b, alpha, ids, 16);
    Encoding e;
    e.mode = mode;
    e.selector = selector;
    e.error = c.error + a.error;
    e.ends[0] = c.ends;
    for (int end = 0; end < 2; ++end) e.ends[0].code[end][3] = a.ends.code[end][3];
    for (int i = 0; i < 16; ++i) {
        e.index[i] = selector ? a.index[i] : c.index[i];
        e.second[i] = selector ? c.index[i] : a.index[i];
    }
    return e;
}

// How far the texels of each two-subset shape lie off their subsets'
// lines: the variance left beside each subset's principal axis, from
// integer moments (so the ranking is exact arithmetic up to the axis).
void rankShapes(const Block& b, int channels, int* order, int keep) {
    // Moments per texel: sums of each channel and of each product.
    constexpr int kMoments = 4 + 10;
    int64_t moment[16][kMoments] = {};
    int64_t total[kMoments] = {};
    for (int i = 0; i < 16; ++i) {
        int k = 0;
        for (int c = 0; c < 4; ++c) moment[i][k++] = c < channels ? b.px[i][c] : 0;
        for (int c = 0; c < 4; ++c)
            for (int d = c; d < 4; ++d) moment[i][k++] = c < channels && d < channels ? b.px[i][c] * b.px[i][d] : 0;
        for (k = 0; k < kMoments; ++k) total[k] += moment[i][k];
    }
    const auto offLine = [&](const int64_t* sum, int n) {
        if (n < 2) return 0.0;
        double cov[4][4];
        int k = 4;
        for (int c = 0; c < 4; ++c)
            for (int d = c; d < 4; ++d, ++k) cov[c][d] = cov[d][c] = double(sum[k]) - double(sum[c]) * double(sum[d]) / n;
        double trace = 0, axis[4] = {1, 1, 1, 1};
        for (int c = 0; c < channels; ++c) trace += cov[c][c];
        double lambda = 0;
        for (int round = 0; round < 3; ++round) {
            double next[4] = {}, largest = 0;
            for (int c = 0; c < channels; ++c) {
                for (int d = 0; d < channels; ++d) next[c] += cov[c][d] * axis[d];
                largest = std::max(largest, std::abs(next[c]));
            }
            if (largest < 1e-9) return 0.0;
            for (int c = 0; c < channels; ++c) axis[c] = next[c] / largest;
            lambda = largest;
        }
        // Rayleigh quotient of the last vector: the variance along the axis.
        double num = 0, den = 0;
        for (int c = 0; c < channels; ++c) {
            double row = 0;
            for (int d = 0; d < channels; ++d) row += cov[c][d] * axis[d];
            num += axis[c] * row;
            den += axis[c] * axis[c];
        }
        (void)lambda;
        return std::max(0.0, trace - num / den);
    };
    double score[64];
    for (int shape = 0; shape < 64; ++shape) {
        int64_t second[kMoments] = {}, first[kMoments];
        int n = 0;
        for (int i = 0; i < 16; ++i) {
            if (!bc7::kShapes2[shape][i]) continue;
            ++n;
            for (int k = 0; k < kMoments; ++k) second[k] += moment[i][k];
        }
        for (int k = 0; k < kMoments; ++k) first[k] = total[k] - second[k];
        score[shape] = offLine(first, 16 - n) + offLine(second, n);
    }
    int all[64];
    for (int s = 0; s < 64; ++s) all[s] = s;
    std::partial_sort(all, all + keep, all + 64, [&](int x, int y) { return score[x] != score[y] ? score[x] < score[y] : x < y; });
    std::copy(all, all + keep, order);
}

void keepBetter(Encoding&& candidate, Encoding& best) {
    if (candidate.error < best.error) best = std::move(candidate);
}

}  // namespace

void encodeBc7Block(const uint8_t* rgba, uint8_t* out, int alphaCut) {
    Block b;
    b.cut = alphaCut;
    for (int i = 0; i < 16; ++i) {
        for (int c = 0; c < 4; ++c) b.px[i][c] = rgba[4 * i + c];
        b.opaque &= rgba[4 * i + 3] == 255;
        b.low[i] = rgba[4 * i + 3] < alphaCut;
    }
    Encoding best = encodeShaped(b, 6, 0);
    if (b.opaque) {
        if (best.error > kGoodEnough) {
            int shapes[4];
            rankShapes(b, 3, shapes, 4);
            for (int k = 0; k < 4; ++k) keepBetter(encodeShaped(b, 1, shapes[k]), best);
            for (int k = 0; k < 2; ++k) keepBetter(encodeShaped(b, 3, shapes[k]), best);
        }
    } else {
        keepBetter(encodeSeparate(b, 5, 0), best);
        keepBetter(encodeSeparate(b, 4, 0), best);
        keepBetter(encodeSeparate(b, 4, 1), best);
        int shapes[2];
        rankShapes(b, 4, shapes, 2);
        for (int k = 0; k < 2; ++k) keepBetter(encodeShaped(b, 7, shapes[k]), best);
    }
    pack(best, out);
}

}  // namespace quor::blocks
