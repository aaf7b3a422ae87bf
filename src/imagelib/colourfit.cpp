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
//  4. back to 2, a few times; also the best pair for the block's mean colour
//     alone, which is what flat blocks want.
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

// Step 1.
LANE_WISE Codes principalEnds(const Texels& x) {
    F mean[3];
    for (int c = 0; c < 3; ++c) mean[c] = x.total[c] * (1.0f / 16);
    F cov[3][3] = {};
    for (int i = 0; i < 16; ++i) {
        const F d[3] = {x.t[i][0] - mean[0], x.t[i][1] - mean[1], x.t[i][2] - mean[2]};
        for (int j = 0; j < 3; ++j)
            for (int k = j; k < 3; ++k) cov[j][k] += d[j] * d[k];
    }
    cov[1][0] = cov[0][1];
    cov[2][0] = cov[0][2];
    cov[2][1] = cov[1][2];
    // Power iteration from the row of the widest channel.
    const I redWidest = (cov[0][0] >= cov[1][1]) & (cov[0][0] >= cov[2][2]);
    const I greenWidest = ~redWidest & (cov[1][1] >= cov[2][2]);
    F v[3];
    for (int k = 0; k < 3; ++k) v[k] = pick(redWidest, cov[0][k], pick(greenWidest, cov[1][k], cov[2][k]));
    for (int round = 0; round < 4; ++round) {
        F w[3];
        for (int j = 0; j < 3; ++j) w[j] = cov[j][0] * v[0] + cov[j][1] * v[1] + cov[j][2] * v[2];
        const F abs0 = greater(w[0], -w[0]), abs1 = greater(w[1], -w[1]), abs2 = greater(w[2], -w[2]);
        const F largest = greater(greater(abs0, abs1), abs2);
        const F scale = splat(1) / pick(largest > 1e-20f, largest, splat(1));
        for (int j = 0; j < 3; ++j) v[j] = w[j] * scale;
    }
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

    LANE_WISE void consider(const Trial& trial, const Codes& tried) {
        const I better = trial.error < error;
        error = pick(better, trial.error, error);
        for (int e = 0; e < 2; ++e)
            for (int c = 0; c < 3; ++c) codes.code[e][c] = pick(better, tried.code[e][c], codes.code[e][c]);
        for (int i = 0; i < 16; ++i) choice[i] = pickInt(better, trial.choice[i], choice[i]);
    }
};

void put16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
__attribute__((target_clones("avx2", "default")))
#endif
void fitGroup(const uint8_t* texels, size_t count, uint8_t* out, size_t stride) {
    Texels x;
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

    Codes codes = principalEnds(x);
    for (int round = 0; round < 2; ++round) {
        nearest<true>(x, codes, trial);
        best.consider(trial, codes);
        codes = fitted(trial, codes);
    }
    nearest<false>(x, codes, trial);
    best.consider(trial, codes);

    // Four colours need colour0 > colour1: swapping the ends swaps the
    // choices 0/1 and 2/3.  Equal ends are one colour: index 0 says it.
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
        uint8_t* to = out + j * stride;
        put16(to, uint32_t(first[j]));
        put16(to + 2, uint32_t(second[j]));
        for (int k = 0; k < 4; ++k) to[4 + k] = uint8_t(uint32_t(bits[j]) >> (8 * k));
    }
}

}  // namespace

void fitColours(const uint8_t* texels, size_t count, uint8_t* out, size_t stride) {
    if (count == 0) return;
    fitGroup(texels, std::min(count, kFitGroup), out, stride);
}

}  // namespace quor::blocks
