// BC1 colour endpoints, eight blocks side by side: lane j of every vector
// below belongs to block j, so each step is the same few instructions for
// all eight and nothing branches on a block's content.
//
// For each block:
//  1. endpoints at the ends of the texels' principal axis;
//  2. each texel takes the nearest of the four colours the endpoints give
//     (exact decoder arithmetic: 5-6-5 widened, thirds rounded down);
//  3. with those choices fixed, least squares gives the best unrounded
//     endpoints, and each channel then tries the four pairs of codes either
//     side of them, scored exactly from per-choice sums (with the choices
//     fixed, the error splits by channel);
//  4. back to 2 once (a second round gains a fortieth of a decibel on real
//     pictures, for a fifth of the encoding time); also the best pair for the
//     block's mean colour alone, which is what flat blocks want;
//  5. for the blocks 1 to 4 leave with error that the texels' spread off
//     their principal axis does not account for, gathered eight at a time:
//     the cluster search (see clusterSearch), then 3 and 2 from what it finds.
// Whatever step gives a block its lowest error is what it keeps.
//
// Floating point here only ever holds integers below 2^24 or is rounded
// before use, and contraction into fused multiply-adds is off for this file,
// so every build of it writes the same bytes.
#include "colourfit.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quor::blocks {
namespace {

static_assert(std::endian::native == std::endian::little, "texels are read as little-endian words");

typedef float F __attribute__((vector_size(32)));
typedef int32_t I __attribute__((vector_size(32)));

// Everything the vector code calls is inlined: a call from the AVX2 build of
// fitGroup into code built for plain x86-64 would pass vectors the wrong way.
#define LANE_WISE [[gnu::always_inline]] inline

LANE_WISE F splat(float v) { return F{} + v; }
LANE_WISE F pick(I m, F a, F b) { return (F)((m & (I)a) | (~m & (I)b)); }
LANE_WISE I pickInt(I m, I a, I b) { return (m & a) | (~m & b); }
LANE_WISE F lesser(F a, F b) { return pick(a < b, a, b); }
LANE_WISE F greater(F a, F b) { return pick(a > b, a, b); }
LANE_WISE F clampByte(F v) { return lesser(greater(v, splat(0)), splat(255)); }
// Non-negative values only.
LANE_WISE F truncated(F v) { return __builtin_convertvector(__builtin_convertvector(v, I), F); }

constexpr float kTop[3] = {31, 63, 31};
// Blocks whose squared error (summed over texels and channels) beyond the
// texels' spread off their principal axis (what no two ends on that axis
// could remove) is at most this keep the first fit: the cluster search would
// gain them little.  Tuned on photographs and painted textures: searching
// also the blocks with more than 300 of error, spread or not (about 6 a
// sample), gains 0.02 dB over this, for nearly twice the search's time.
constexpr float kRefineAbove = 600;

// A code of channel c widened to 8 bits as every decoder does it.
LANE_WISE F widen(F code, int c) {
    return c == 1 ? code * 4 + truncated(code * (1.0f / 16)) : code * 8 + truncated(code * 0.25f);
}
LANE_WISE F quantize(F value, int c) { return truncated(clampByte(value) * (kTop[c] / 255.0f) + 0.5f); }
LANE_WISE F quantizeDown(F value, int c) { return truncated(clampByte(value) * (kTop[c] / 255.0f)); }
LANE_WISE F third(F twice, F once) { return truncated((twice + twice + once) * (1.0f / 3)); }

struct Texels {
    F t[16][3];
    F total[3];
};

struct Codes {
    F code[2][3];  // [endpoint][channel]
};

// What a trial of step 2 leaves: the error, each texel's choice, and the
// per-choice texel counts and channel sums step 3 works from.
struct Trial {
    F error;
    I choice[16];
    F count[4];
    F sum[4][3];
};

// Without `sums`, only the error and the choices: no fit follows.
template <bool sums>
LANE_WISE void nearest(const Texels& x, const Codes& codes, Trial& trial) {
    F palette[4][3];
    for (int c = 0; c < 3; ++c) {
        const F a = widen(codes.code[0][c], c), b = widen(codes.code[1][c], c);
        palette[0][c] = a;
        palette[1][c] = b;
        palette[2][c] = third(a, b);
        palette[3][c] = third(b, a);
    }
    F error = splat(0);
    for (int s = 0; s < 3 && sums; ++s) {
        trial.count[s] = splat(0);
        for (int c = 0; c < 3; ++c) trial.sum[s][c] = splat(0);
    }
    const F one = splat(1);
    for (int i = 0; i < 16; ++i) {
        F best{};
        I choice{};
        for (int s = 0; s < 4; ++s) {
            const F dr = x.t[i][0] - palette[s][0], dg = x.t[i][1] - palette[s][1], db = x.t[i][2] - palette[s][2];
            const F d = dr * dr + dg * dg + db * db;
            if (s == 0) {
                best = d;
                continue;
            }
            const I closer = d < best;
            best = pick(closer, d, best);
            choice = pickInt(closer, I{} + s, choice);
        }
        error += best;
        trial.choice[i] = choice;
        for (int s = 0; s < 3 && sums; ++s) {
            const I is = choice == s;
            trial.count[s] += pick(is, one, F{});
            for (int c = 0; c < 3; ++c) trial.sum[s][c] += pick(is, x.t[i][c], F{});
        }
    }
    trial.error = error;
    if (!sums) return;
    trial.count[3] = splat(16) - trial.count[0] - trial.count[1] - trial.count[2];
    for (int c = 0; c < 3; ++c) trial.sum[3][c] = x.total[c] - trial.sum[0][c] - trial.sum[1][c] - trial.sum[2][c];
}

// Step 3: the choices of `trial` fixed, the best codes near the least
// squares endpoints; blocks whose choices pin down no line keep `codes`.
LANE_WISE Codes fitted(const Trial& trial, const Codes& codes) {
    const F* n = trial.count;
    const F aa = n[0] + n[2] * (4.0f / 9) + n[3] * (1.0f / 9);
    const F bb = n[1] + n[2] * (1.0f / 9) + n[3] * (4.0f / 9);
    const F ab = (n[2] + n[3]) * (2.0f / 9);
    const F det = aa * bb - ab * ab;
    const I solvable = det > 0.25f;
    const F inverse = splat(1) / pick(solvable, det, splat(1));
    Codes out;
    for (int c = 0; c < 3; ++c) {
        const F* s[4] = {&trial.sum[0][c], &trial.sum[1][c], &trial.sum[2][c], &trial.sum[3][c]};
        const F ax = *s[0] + *s[2] * (2.0f / 3) + *s[3] * (1.0f / 3);
        const F bx = *s[1] + *s[2] * (1.0f / 3) + *s[3] * (2.0f / 3);
        const F a0 = pick(solvable, quantizeDown((bb * ax - ab * bx) * inverse, c), codes.code[0][c]);
        const F b0 = pick(solvable, quantizeDown((aa * bx - ab * ax) * inverse, c), codes.code[1][c]);
        // Error of the channel up to a constant: sum over choices of n P^2 - 2 P S.
        F best = splat(3.0e38f), bestA = a0, bestB = b0;
        const F top = splat(kTop[c]);
        for (int da = 0; da <= 1; ++da)
            for (int db = 0; db <= 1; ++db) {
                const F a = lesser(greater(a0 + float(da), F{}), top), b = lesser(greater(b0 + float(db), F{}), top);
                const F wa = widen(a, c), wb = widen(b, c);
                const F p[4] = {wa, wb, third(wa, wb), third(wb, wa)};
                F e = F{};
                for (int k = 0; k < 4; ++k) e += p[k] * (n[k] * p[k] - 2 * *s[k]);
                const I better = e < best;
                best = pick(better, e, best);
                bestA = pick(better, a, bestA);
                bestB = pick(better, b, bestB);
            }
        out.code[0][c] = bestA;
        out.code[1][c] = bestB;
    }
    return out;
}

// The texels' principal axis (unnormalised; zero for a flat block) by
// power iteration from the row of the widest channel; with `residual`, the
// spread off it there: the sum of squared distances from the line through
// the mean along the axis.
LANE_WISE void principalAxis(const Texels& x, const F* mean, F* v, F* residual = nullptr) {
    F cov[3][3] = {};
    for (int i = 0; i < 16; ++i) {
        const F d[3] = {x.t[i][0] - mean[0], x.t[i][1] - mean[1], x.t[i][2] - mean[2]};
        for (int j = 0; j < 3; ++j)
            for (int k = j; k < 3; ++k) cov[j][k] += d[j] * d[k];
    }
    cov[1][0] = cov[0][1];
    cov[2][0] = cov[0][2];
    cov[2][1] = cov[1][2];
    const I redWidest = (cov[0][0] >= cov[1][1]) & (cov[0][0] >= cov[2][2]);
    const I greenWidest = ~redWidest & (cov[1][1] >= cov[2][2]);
    for (int k = 0; k < 3; ++k) v[k] = pick(redWidest, cov[0][k], pick(greenWidest, cov[1][k], cov[2][k]));
    for (int round = 0; round < 4; ++round) {
        F w[3];
        for (int j = 0; j < 3; ++j) w[j] = cov[j][0] * v[0] + cov[j][1] * v[1] + cov[j][2] * v[2];
        const F abs0 = greater(w[0], -w[0]), abs1 = greater(w[1], -w[1]), abs2 = greater(w[2], -w[2]);
        const F largest = greater(greater(abs0, abs1), abs2);
        const F scale = splat(1) / pick(largest > 1e-20f, largest, splat(1));
        for (int j = 0; j < 3; ++j) v[j] = w[j] * scale;
    }
    if (residual) {
        const F length2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
        F along = F{};
        for (int j = 0; j < 3; ++j) along += v[j] * (cov[j][0] * v[0] + cov[j][1] * v[1] + cov[j][2] * v[2]);
        along = along / pick(length2 > 1e-20f, length2, splat(1));
        *residual = cov[0][0] + cov[1][1] + cov[2][2] - along;
    }
}

LANE_WISE void meanOf(const Texels& x, F* mean) {
    for (int c = 0; c < 3; ++c) mean[c] = x.total[c] * (1.0f / 16);
}

// Step 1.
LANE_WISE Codes principalEnds(const Texels& x, F* residual) {
    F mean[3], v[3];
    meanOf(x, mean);
    principalAxis(x, mean, v, residual);
    const F length2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
    const F inverse = splat(1) / pick(length2 > 1e-20f, length2, splat(1));
    F low = splat(3.0e38f), high = splat(-3.0e38f);
    for (int i = 0; i < 16; ++i) {
        const F p = (x.t[i][0] - mean[0]) * v[0] + (x.t[i][1] - mean[1]) * v[1] + (x.t[i][2] - mean[2]) * v[2];
        low = lesser(low, p);
        high = greater(high, p);
    }
    Codes codes;
    for (int c = 0; c < 3; ++c) {
        codes.code[0][c] = quantize(mean[c] + v[c] * (high * inverse), c);
        codes.code[1][c] = quantize(mean[c] + v[c] * (low * inverse), c);
    }
    return codes;
}

// For one 8-bit value, the pair of codes whose one-third colour comes
// closest, the nearer pair first on a tie (decoders differ a little in how
// they round thirds, and less on close pairs).
struct OneColour {
    std::array<uint8_t, 256> a, b;
};

OneColour oneColourTable(int bits) {
    const int top = (1 << bits) - 1;
    // Each value a third can take, with the closest pair that gives it.
    std::array<int, 256> spread;
    spread.fill(1 << 30);
    std::array<uint8_t, 256> firstOf{}, secondOf{};
    for (int a = 0; a <= top; ++a)
        for (int b = 0; b <= top; ++b) {
            const int wa = widenCode(a, bits), wb = widenCode(b, bits), third = (2 * wa + wb) / 3;
            if (std::abs(wa - wb) >= spread[size_t(third)]) continue;
            spread[size_t(third)] = std::abs(wa - wb);
            firstOf[size_t(third)] = uint8_t(a);
            secondOf[size_t(third)] = uint8_t(b);
        }
    OneColour table{};
    for (int v = 0; v < 256; ++v) {
        int best = 1 << 30;
        for (size_t third = 0; third < 256; ++third) {
            if (spread[third] == 1 << 30) continue;
            const int score = std::abs(int(third) - v) * 1024 + spread[third];
            if (score >= best) continue;
            best = score;
            table.a[size_t(v)] = firstOf[third];
            table.b[size_t(v)] = secondOf[third];
        }
    }
    return table;
}

const OneColour& oneColour(int c) {
    static const OneColour five = oneColourTable(5), six = oneColourTable(6);
    return c == 1 ? six : five;
}

struct Best {
    F error = splat(3.0e38f);
    Codes codes{};
    I choice[16] = {};

    LANE_WISE void consider(const Trial& trial, const Codes& tried, I allowed = ~I{}) {
        const I better = (trial.error < error) & allowed;
        error = pick(better, trial.error, error);
        for (int e = 0; e < 2; ++e)
            for (int c = 0; c < 3; ++c) codes.code[e][c] = pick(better, tried.code[e][c], codes.code[e][c]);
        for (int i = 0; i < 16; ++i) choice[i] = pickInt(better, trial.choice[i], choice[i]);
    }
};

// Step 5, the cluster search: the texels sorted along the principal axis,
// splits of that order into four runs (first endpoint, the third next to
// it, the third next to the second, second endpoint) are scored by the
// variance their least squares endpoints explain, and the best split's sums
// go through step 3.  Centred on the mean, the score of a split at
// i <= j <= k is weight(i, j, k) * |P(i) + P(j) + P(k)|^2, P being the
// running sums of the sorted texels.  The score changes little from one
// split to the next, so the splits on even edges are scored first (165 of
// the 969), then the 27 about the best of those, each edge moved by one.
//
// With n0, n2, n3, n1 texels in the runs, A = 9 n0 + 4 n2 + n3,
// B = 9 n1 + n2 + 4 n3 and C = 2 (n2 + n3) are nine times the normal
// equations' terms, and weight = (A + B + 2C) / (AB - C^2): exact integers
// until the one division, the same in every build.
LANE_WISE F splitWeight(I i, I j, I k, I& usable) {
    const I n0 = i, n2 = j - i, n3 = k - j, n1 = 16 - k;
    const F a = __builtin_convertvector(9 * n0 + 4 * n2 + n3, F), b = __builtin_convertvector(9 * n1 + n2 + 4 * n3, F),
            c = __builtin_convertvector(2 * (n2 + n3), F);
    const F det = a * b - c * c;
    // One run alone pins down no line: it explains nothing.
    usable &= det > 0.5f;
    return (a + b + c + c) / pick(usable, det, splat(1));
}

constexpr size_t kCoarseSplits = 165;  // (8 + 3 choose 3): edges 0, 2, ... 16

const std::array<float, kCoarseSplits>& coarseWeights() {
    static const std::array<float, kCoarseSplits> table = [] {
        std::array<float, kCoarseSplits> w{};
        size_t at = 0;
        for (int i = 0; i <= 16; i += 2)
            for (int j = i; j <= 16; j += 2)
                for (int k = j; k <= 16; k += 2, ++at) {
                    I usable = ~I{};
                    const F weight = splitWeight(I{} + i, I{} + j, I{} + k, usable);
                    w[at] = usable[0] ? weight[0] : 0.0f;
                }
        return w;
    }();
    return table;
}

// Batcher's odd-even merge sort of 16: the pairs to compare and exchange.
struct SortPair {
    uint8_t a, b;
};
constexpr std::array<SortPair, 63> kSortPairs = [] {
    std::array<SortPair, 63> pairs{};
    size_t n = 0;
    for (int p = 1; p < 16; p <<= 1)
        for (int k = p; k >= 1; k >>= 1)
            for (int j = k % p; j + k < 16; j += 2 * k)
                for (int i = 0; i < std::min(k, 16 - j - k); ++i)
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p)) pairs[n++] = {uint8_t(i + j), uint8_t(i + j + k)};
    return pairs;
}();

LANE_WISE void clusterSearch(const Texels& x, Best& best, I allowed) {
    F mean[3], v[3];
    meanOf(x, mean);
    principalAxis(x, mean, v);
    F key[16], t[16][3];
    for (int i = 0; i < 16; ++i) {
        for (int c = 0; c < 3; ++c) t[i][c] = x.t[i][c];
        key[i] = (x.t[i][0] - mean[0]) * v[0] + (x.t[i][1] - mean[1]) * v[1] + (x.t[i][2] - mean[2]) * v[2];
    }
    for (const SortPair& s : kSortPairs) {
        const I swap = key[s.a] > key[s.b];
        const F ka = key[s.a], kb = key[s.b];
        key[s.a] = pick(swap, kb, ka);
        key[s.b] = pick(swap, ka, kb);
        for (int c = 0; c < 3; ++c) {
            const F ta = t[s.a][c], tb = t[s.b][c];
            t[s.a][c] = pick(swap, tb, ta);
            t[s.b][c] = pick(swap, ta, tb);
        }
    }
    // Running sums, plain (for step 3) and centred (for the score).
    F sums[17][3], centred[17][3];
    for (int c = 0; c < 3; ++c) sums[0][c] = centred[0][c] = F{};
    for (int n = 1; n <= 16; ++n)
        for (int c = 0; c < 3; ++c) {
            sums[n][c] = sums[n - 1][c] + t[n - 1][c];
            centred[n][c] = sums[n][c] - mean[c] * float(n);
        }
    const std::array<float, kCoarseSplits>& weights = coarseWeights();
    F bestScore = splat(-1);
    I bestAt{};  // i << 10 | j << 5 | k
    int at = 0;
    for (int i = 0; i <= 16; i += 2)
        for (int j = i; j <= 16; j += 2) {
            const F m0 = centred[i][0] + centred[j][0], m1 = centred[i][1] + centred[j][1],
                    m2 = centred[i][2] + centred[j][2];
            for (int k = j; k <= 16; k += 2, ++at) {
                const F r = m0 + centred[k][0], g = m1 + centred[k][1], b = m2 + centred[k][2];
                const F score = (r * r + g * g + b * b) * weights[size_t(at)];
                const I better = score > bestScore;
                bestScore = pick(better, score, bestScore);
                bestAt = pickInt(better, I{} + (i << 10 | j << 5 | k), bestAt);
            }
        }
    // About the best: each edge one less, the same or one more.
    const I edges[3] = {bestAt >> 10, (bestAt >> 5) & 31, bestAt & 31};
    F near[3][3][3];  // [edge][step][channel]: P at that edge moved by step - 1
    for (int e = 0; e < 3; ++e)
        for (int d = 0; d < 3; ++d) {
            const I moved = edges[e] + (d - 1);
            for (int c = 0; c < 3; ++c) near[e][d][c] = F{};
            for (int n = 0; n <= 16; ++n) {
                const I here = moved == n;
                for (int c = 0; c < 3; ++c) near[e][d][c] = pick(here, centred[n][c], near[e][d][c]);
            }
        }
    bestScore = splat(-1);
    for (int di = 0; di < 3; ++di)
        for (int dj = 0; dj < 3; ++dj)
            for (int dk = 0; dk < 3; ++dk) {
                const I i = edges[0] + (di - 1), j = edges[1] + (dj - 1), k = edges[2] + (dk - 1);
                I usable = (i >= 0) & (j >= i) & (k >= j) & (k <= 16);
                const F weight = splitWeight(i, j, k, usable);
                const F r = near[0][di][0] + near[1][dj][0] + near[2][dk][0],
                        g = near[0][di][1] + near[1][dj][1] + near[2][dk][1],
                        b = near[0][di][2] + near[1][dj][2] + near[2][dk][2];
                const F score = pick(usable, (r * r + g * g + b * b) * weight, splat(-1));
                const I better = score > bestScore;
                bestScore = pick(better, score, bestScore);
                bestAt = pickInt(better, i << 10 | j << 5 | k, bestAt);
            }
    // The best split's counts and sums, lane by lane.
    alignas(32) float running[17][3][kFitGroup];
    for (int n = 0; n <= 16; ++n)
        for (int c = 0; c < 3; ++c) std::memcpy(running[n][c], &sums[n][c], sizeof(F));
    alignas(32) float count[4][kFitGroup], sum[4][3][kFitGroup];
    for (size_t lane = 0; lane < kFitGroup; ++lane) {
        const int s[3] = {bestAt[lane] >> 10, (bestAt[lane] >> 5) & 31, bestAt[lane] & 31};
        const int edge[5] = {0, s[0], s[1], s[2], 16};
        // Runs in order are choices 0, 2, 3, 1.
        const int choice[4] = {0, 2, 3, 1};
        for (int r = 0; r < 4; ++r) {
            count[choice[r]][lane] = float(edge[r + 1] - edge[r]);
            for (int c = 0; c < 3; ++c)
                sum[choice[r]][c][lane] = running[edge[r + 1]][c][lane] - running[edge[r]][c][lane];
        }
    }
    Trial trial;
    for (int s = 0; s < 4; ++s) {
        std::memcpy(&trial.count[s], count[s], sizeof(F));
        for (int c = 0; c < 3; ++c) std::memcpy(&trial.sum[s][c], sum[s][c], sizeof(F));
    }
    Codes codes = fitted(trial, best.codes);
    nearest<true>(x, codes, trial);
    best.consider(trial, codes, allowed);
    codes = fitted(trial, codes);
    nearest<false>(x, codes, trial);
    best.consider(trial, codes, allowed);
}

void put16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// Lane j of the vectors from block j of `texels` (block 0 again past `count`).
LANE_WISE void load(const uint8_t* texels, size_t count, Texels& x) {
    const uint8_t* block[kFitGroup];
    for (size_t j = 0; j < kFitGroup; ++j) block[j] = texels + 64 * (j < count ? j : 0);
    for (int c = 0; c < 3; ++c) x.total[c] = F{};
    for (int i = 0; i < 16; ++i) {
        I texel;
        for (size_t j = 0; j < kFitGroup; ++j) {
            uint32_t word;
            std::memcpy(&word, block[j] + 4 * i, 4);
            texel[j] = int32_t(word);
        }
        for (int c = 0; c < 3; ++c) {
            x.t[i][c] = __builtin_convertvector((texel >> (8 * c)) & 255, F);
            x.total[c] += x.t[i][c];
        }
    }
}

// Block j's best to `out[j]`.  Four colours need colour0 > colour1:
// swapping the ends swaps the choices 0/1 and 2/3.  Equal ends are one
// colour: index 0 says it.
LANE_WISE void write(const Best& best, size_t count, uint8_t* const* out) {
    I packed[2];
    for (int e = 0; e < 2; ++e) {
        const F* code = best.codes.code[e];
        packed[e] = __builtin_convertvector(code[0], I) << 11 | __builtin_convertvector(code[1], I) << 5 |
                    __builtin_convertvector(code[2], I);
    }
    const I swap = packed[0] < packed[1], keep = packed[0] != packed[1];
    I bits{};
    for (int i = 0; i < 16; ++i) bits |= ((best.choice[i] ^ (swap & 1)) & keep) << (2 * i);
    const I first = pickInt(swap, packed[1], packed[0]), second = pickInt(swap, packed[0], packed[1]);
    for (size_t j = 0; j < count; ++j) {
        put16(out[j], uint32_t(first[j]));
        put16(out[j] + 2, uint32_t(second[j]));
        for (int k = 0; k < 4; ++k) out[j][4 + k] = uint8_t(uint32_t(bits[j]) >> (8 * k));
    }
}

// QUOR_PLAIN_BUILD leaves the vector clone out: the tests build the fit
// that way too, to hold both builds to the same bytes.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(QUOR_PLAIN_BUILD)
#define BOTH_BUILDS __attribute__((target_clones("avx2", "default")))
#else
#define BOTH_BUILDS
#endif

// Steps 1 to 4 for up to eight blocks; each block's error to `error`, and
// to `gate` what of it the spread off the principal axis leaves.
BOTH_BUILDS void fitGroup(const uint8_t* texels, size_t count, uint8_t* const* out, float* error, float* gate) {
    Texels x;
    load(texels, count, x);
    Best best;
    Trial trial;
    // The mean colour alone, from the one-colour tables.
    Codes flat;
    {
        alignas(32) float total[3][kFitGroup], a[3][kFitGroup], b[3][kFitGroup];
        for (int c = 0; c < 3; ++c) std::memcpy(total[c], &x.total[c], sizeof(F));
        for (int c = 0; c < 3; ++c) {
            const OneColour& table = oneColour(c);
            for (size_t j = 0; j < kFitGroup; ++j) {
                const size_t mean = size_t((int(total[c][j]) + 8) / 16);
                a[c][j] = table.a[mean];
                b[c][j] = table.b[mean];
            }
        }
        for (int c = 0; c < 3; ++c) {
            std::memcpy(&flat.code[0][c], a[c], sizeof(F));
            std::memcpy(&flat.code[1][c], b[c], sizeof(F));
        }
    }
    nearest<false>(x, flat, trial);
    best.consider(trial, flat);

    F residual;
    Codes codes = principalEnds(x, &residual);
    nearest<true>(x, codes, trial);
    best.consider(trial, codes);
    codes = fitted(trial, codes);
    nearest<false>(x, codes, trial);
    best.consider(trial, codes);
    write(best, count, out);
    for (size_t j = 0; j < count; ++j) error[j] = best.error[j];
    for (size_t j = 0; j < count; ++j) gate[j] = best.error[j] - residual[j];
}

// Step 5 for up to eight blocks, each starting from what step 4 wrote for
// it (and the error that leaves); a block keeps that unless the search
// finds better.
BOTH_BUILDS void refineGroup(const uint8_t* texels, size_t count, uint8_t* const* out, const float* error) {
    Texels x;
    load(texels, count, x);
    Best best;
    alignas(32) float code[2][3][kFitGroup] = {}, lowest[kFitGroup] = {};
    alignas(32) int32_t choice[16][kFitGroup] = {};
    for (size_t j = 0; j < kFitGroup; ++j) {
        const size_t from = j < count ? j : 0;
        const uint8_t* block = out[from];
        for (int e = 0; e < 2; ++e) {
            const unsigned v = unsigned(block[2 * e] | block[2 * e + 1] << 8);
            code[e][0][j] = float(v >> 11);
            code[e][1][j] = float((v >> 5) & 63);
            code[e][2][j] = float(v & 31);
        }
        for (int i = 0; i < 16; ++i) choice[i][j] = (block[4 + i / 4] >> (2 * (i % 4))) & 3;
        lowest[j] = error[from];
    }
    std::memcpy(&best.error, lowest, sizeof(F));
    for (int e = 0; e < 2; ++e)
        for (int c = 0; c < 3; ++c) std::memcpy(&best.codes.code[e][c], code[e][c], sizeof(F));
    for (int i = 0; i < 16; ++i) std::memcpy(&best.choice[i], choice[i], sizeof(I));
    clusterSearch(x, best, ~I{});
    write(best, count, out);
}

}  // namespace

void fitColours(const uint8_t* texels, size_t count, uint8_t* out, size_t stride) {
    // Step 4 eight at a time; then step 5 for the blocks it left with error,
    // gathered eight at a time, so that its lanes are full.
    std::vector<float> error(count), gate(count);
    std::vector<size_t> refine;
    for (size_t k = 0; k < count; k += kFitGroup) {
        const size_t n = std::min(kFitGroup, count - k);
        uint8_t* to[kFitGroup];
        for (size_t j = 0; j < n; ++j) to[j] = out + (k + j) * stride;
        fitGroup(texels + 64 * k, n, to, error.data() + k, gate.data() + k);
        for (size_t j = 0; j < n; ++j)
            if (gate[k + j] > kRefineAbove) refine.push_back(k + j);
    }
    uint8_t gathered[64 * kFitGroup];
    for (size_t k = 0; k < refine.size(); k += kFitGroup) {
        const size_t n = std::min(kFitGroup, refine.size() - k);
        uint8_t* to[kFitGroup];
        float errors[kFitGroup];
        for (size_t j = 0; j < n; ++j) {
            std::memcpy(gathered + 64 * j, texels + 64 * refine[k + j], 64);
            to[j] = out + refine[k + j] * stride;
            errors[j] = error[refine[k + j]];
        }
        refineGroup(gathered, n, to, errors);
    }
}

// The three-colour form, one block at a time (only blocks with transparent
// texels take it, so the plain code is fast enough): nearest choices and
// least squares in turn from the ends of the visible texels' widest
// channel, as in the four-colour fit, with the midpoint for the middle.
namespace {

struct ThreeColourFit {
    int texel[16][3];
    bool visible[16];
    int error = 1 << 30;
    int code[2][3] = {};
    int choice[16] = {};
};

int widenScalar(int code, int c) { return widenCode(code, c == 1 ? 6 : 5); }

// Each visible texel's nearest of the three colours; the total error.
int chooseThree(ThreeColourFit& f, const int (&code)[2][3], int* choice) {
    int palette[3][3];
    for (int c = 0; c < 3; ++c) {
        const int a = widenScalar(code[0][c], c), b = widenScalar(code[1][c], c);
        palette[0][c] = a;
        palette[1][c] = b;
        palette[2][c] = (a + b) / 2;
    }
    int total = 0;
    for (int i = 0; i < 16; ++i) {
        if (!f.visible[i]) {
            choice[i] = 3;
            continue;
        }
        int best = 1 << 30;
        for (int s = 0; s < 3; ++s) {
            int d = 0;
            for (int c = 0; c < 3; ++c) d += (f.texel[i][c] - palette[s][c]) * (f.texel[i][c] - palette[s][c]);
            if (d < best) best = d, choice[i] = s;
        }
        total += best;
    }
    return total;
}

void tryThree(ThreeColourFit& f, const int (&code)[2][3]) {
    int choice[16];
    const int error = chooseThree(f, code, choice);
    if (error >= f.error) return;
    f.error = error;
    std::memcpy(f.code, code, sizeof f.code);
    std::memcpy(f.choice, choice, sizeof choice);
}

// With the choices of the best so far fixed: per channel, the codes near the
// least squares ends that give the least error.
void refitThree(ThreeColourFit& f) {
    double n[3] = {}, sum[3][3] = {};
    for (int i = 0; i < 16; ++i) {
        if (!f.visible[i]) continue;
        n[f.choice[i]] += 1;
        for (int c = 0; c < 3; ++c) sum[f.choice[i]][c] += f.texel[i][c];
    }
    const double aa = n[0] + n[2] / 4, bb = n[1] + n[2] / 4, ab = n[2] / 4, det = aa * bb - ab * ab;
    if (det < 0.25) return;
    int code[2][3];
    for (int c = 0; c < 3; ++c) {
        const double top = c == 1 ? 63 : 31;
        const double ax = sum[0][c] + sum[2][c] / 2, bx = sum[1][c] + sum[2][c] / 2;
        const double a = std::clamp((bb * ax - ab * bx) / det, 0.0, 255.0) * top / 255;
        const double b = std::clamp((aa * bx - ab * ax) / det, 0.0, 255.0) * top / 255;
        double best = 1e300;
        for (int da = -1; da <= 1; ++da)
            for (int db = -1; db <= 1; ++db) {
                const int ca = std::clamp(int(a + 0.5) + da, 0, int(top)),
                          cb = std::clamp(int(b + 0.5) + db, 0, int(top));
                const double pa = widenScalar(ca, c), pb = widenScalar(cb, c),
                             pm = (widenScalar(ca, c) + widenScalar(cb, c)) / 2;
                const double e = n[0] * pa * pa - 2 * pa * sum[0][c] + n[1] * pb * pb - 2 * pb * sum[1][c] +
                                 n[2] * pm * pm - 2 * pm * sum[2][c];
                if (e < best) best = e, code[0][c] = ca, code[1][c] = cb;
            }
    }
    tryThree(f, code);
}

}  // namespace

void fitThreeColours(const uint8_t* rgba, int cut, uint8_t* out) {
    ThreeColourFit f;
    int visible = 0, low[3] = {255, 255, 255}, high[3] = {0, 0, 0}, total[3] = {};
    for (int i = 0; i < 16; ++i) {
        f.visible[i] = rgba[4 * i + 3] >= cut;
        for (int c = 0; c < 3; ++c) f.texel[i][c] = rgba[4 * i + c];
        if (!f.visible[i]) continue;
        ++visible;
        for (int c = 0; c < 3; ++c) {
            low[c] = std::min(low[c], f.texel[i][c]);
            high[c] = std::max(high[c], f.texel[i][c]);
            total[c] += f.texel[i][c];
        }
    }
    if (visible > 0) {
        // The ends along the widest channel; and the mean alone.
        int widest = 0;
        for (int c = 1; c < 3; ++c)
            if (high[c] - low[c] > high[widest] - low[widest]) widest = c;
        int first = -1, last = -1;
        for (int i = 0; i < 16; ++i) {
            if (!f.visible[i]) continue;
            if (first < 0 || f.texel[i][widest] < f.texel[first][widest]) first = i;
            if (last < 0 || f.texel[i][widest] > f.texel[last][widest]) last = i;
        }
        int ends[2][3], flat[2][3];
        for (int c = 0; c < 3; ++c) {
            const int top = c == 1 ? 63 : 31;
            ends[0][c] = (f.texel[first][c] * top + 127) / 255;
            ends[1][c] = (f.texel[last][c] * top + 127) / 255;
            flat[0][c] = flat[1][c] = ((total[c] + visible / 2) / visible * top + 127) / 255;
        }
        tryThree(f, ends);
        tryThree(f, flat);
        for (int round = 0; round < 3; ++round) refitThree(f);
    }
    // The three-colour form needs colour0 <= colour1: swapping the ends swaps choices 0 and 1.
    uint32_t packed[2];
    for (int e = 0; e < 2; ++e) packed[e] = uint32_t(f.code[e][0] << 11 | f.code[e][1] << 5 | f.code[e][2]);
    const bool swap = packed[0] > packed[1];
    uint32_t bits = 0;
    for (int i = 0; i < 16; ++i) {
        // Texels below the cut are transparent also when no fit ran (a block
        // with none visible).
        const int s = f.visible[i] ? f.choice[i] : 3;
        bits |= uint32_t(swap && s < 2 ? 1 - s : s) << (2 * i);
    }
    put16(out, swap ? packed[1] : packed[0]);
    put16(out + 2, swap ? packed[0] : packed[1]);
    for (int k = 0; k < 4; ++k) out[4 + k] = uint8_t(bits >> (8 * k));
}

}  // namespace quor::blocks
