// BC3's alpha: both forms (eight steps between the endpoints, or six and
// the fixed 0 and 255) from the block's extremes, then each endpoint moved
// while that lowers the score, and least squares from the indices found;
// blocks still left with error, searched over a grid of endpoints too.
// The score puts the count of texels that cross the cut first and the
// squared error second, so an edge of a cut-out stays where it was.
#include "alphafit.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace quor::blocks {
namespace {

struct Entry {
    int value;  // as our decoder gives it (in-between steps rounded down)
    bool low;   // below the cut for every decoder (rounded up, still below)
    bool high;  // at or above the cut for every decoder
};

// Blocks left with more squared error than this per distinct value get the wide search.
constexpr int kWideAbove = 4;

struct Score {
    int crossings = 1 << 20;
    int error = 1 << 30;
    bool operator<(const Score& o) const {
        return crossings != o.crossings ? crossings < o.crossings : error < o.error;
    }
};

struct Block {
    int distinct = 0;
    int value[16];
    int count[16];
    bool low[16];  // below the cut in the source
};

struct Palette {
    Entry entry[8];
};

Palette paletteOf(int a0, int a1, int cut) {
    Palette p;
    const auto set = [&](int k, int sum, int parts) {
        const int down = sum / parts, up = (sum + parts - 1) / parts;
        p.entry[k] = {down, up < cut, down >= cut};
    };
    set(0, a0, 1);
    set(1, a1, 1);
    if (a0 > a1) {
        for (int k = 1; k < 7; ++k) set(k + 1, (7 - k) * a0 + k * a1, 7);
    } else {
        for (int k = 1; k < 5; ++k) set(k + 1, (5 - k) * a0 + k * a1, 5);
        set(6, 0, 1);
        set(7, 255, 1);
    }
    return p;
}

// The best index for each distinct value, and the score they make.
Score choose(const Block& b, const Palette& p, int* index) {
    Score s{0, 0};
    for (int v = 0; v < b.distinct; ++v) {
        int best = -1, bestError = 1 << 30, any = 0, anyError = 1 << 30;
        for (int k = 0; k < 8; ++k) {
            const int d = b.value[v] - p.entry[k].value, e = d * d;
            if (e < anyError) anyError = e, any = k;
            const bool sameSide = b.low[v] ? p.entry[k].low : p.entry[k].high;
            if (sameSide && e < bestError) bestError = e, best = k;
        }
        if (best < 0) {
            best = any;
            bestError = anyError;
            s.crossings += b.count[v];
        }
        index[v] = best;
        s.error += bestError * b.count[v];
    }
    return s;
}

struct Candidate {
    int a0, a1;
    Score score;
    int index[16];
};

void consider(const Block& b, int a0, int a1, int cut, Candidate& best) {
    a0 = std::clamp(a0, 0, 255);
    a1 = std::clamp(a1, 0, 255);
    Candidate c{a0, a1, {}, {}};
    c.score = choose(b, paletteOf(a0, a1, cut), c.index);
    if (c.score < best.score) best = c;
}

// With the indices of `c` fixed, the least squares endpoints (rounded); the
// form stays as it is, so an eight-step pair stays a0 > a1.
void leastSquares(const Block& b, const Candidate& c, int cut, Candidate& best) {
    const bool eight = c.a0 > c.a1;
    const int steps = eight ? 7 : 5;
    double aa = 0, ab = 0, bb = 0, ax = 0, bx = 0;
    for (int v = 0; v < b.distinct; ++v) {
        const int k = c.index[v];
        double w;  // weight of a1
        if (k == 0) w = 0;
        else if (k == 1) w = 1;
        else if (!eight && k >= 6) continue;  // the fixed 0 and 255
        else w = double(k - 1) / steps;
        const double n = b.count[v], x = b.value[v];
        aa += n * (1 - w) * (1 - w);
        ab += n * (1 - w) * w;
        bb += n * w * w;
        ax += n * (1 - w) * x;
        bx += n * w * x;
    }
    const double det = aa * bb - ab * ab;
    if (det < 1e-9) return;
    const int a0 = int((bb * ax - ab * bx) / det + 0.5 + 256) - 256,
              a1 = int((aa * bx - ab * ax) / det + 0.5 + 256) - 256;
    if (eight ? a0 > a1 : a0 <= a1) consider(b, a0, a1, cut, best);
}

// Moves each endpoint a step either way while the score falls, the form kept.
void descend(const Block& b, int cut, Candidate& best) {
    const bool eight = best.a0 > best.a1;
    for (int round = 0; round < 32; ++round) {
        const Candidate before = best;
        for (int step : {1, -1, 3, -3, 6, -6})
            for (int which = 0; which < 2; ++which) {
                const int a0 = before.a0 + (which == 0 ? step : 0), a1 = before.a1 + (which == 1 ? step : 0);
                if (a0 < 0 || a0 > 255 || a1 < 0 || a1 > 255 || (eight ? a0 <= a1 : a0 > a1)) continue;
                consider(b, a0, a1, cut, best);
            }
        if (!(best.score < before.score)) return;
        leastSquares(b, best, cut, best);
    }
}

void write(const Block& b, const Candidate& c, const uint8_t* alpha, uint8_t* out) {
    out[0] = uint8_t(c.a0);
    out[1] = uint8_t(c.a1);
    uint64_t bits = 0;
    for (int i = 0; i < 16; ++i) {
        const int v = int(std::find(b.value, b.value + b.distinct, alpha[i]) - b.value);
        bits |= uint64_t(c.index[v]) << (3 * i);
    }
    for (int k = 0; k < 6; ++k) out[2 + k] = uint8_t(bits >> (8 * k));
}

}  // namespace

void fitAlpha(const uint8_t* alpha, int cut, uint8_t* out) {
    Block b;
    for (int i = 0; i < 16; ++i) {
        int v = 0;
        while (v < b.distinct && b.value[v] != alpha[i]) ++v;
        if (v == b.distinct) {
            b.value[v] = alpha[i];
            b.count[v] = 0;
            b.low[v] = alpha[i] < cut;
            ++b.distinct;
        }
        ++b.count[v];
    }
    const auto [lowest, highest] = std::minmax_element(b.value, b.value + b.distinct);
    // The six-step form spans the values other than 0 and 255, which it has anyway.
    int inner0 = 255, inner1 = 0;
    for (int v = 0; v < b.distinct; ++v)
        if (b.value[v] != 0 && b.value[v] != 255)
            inner0 = std::min(inner0, b.value[v]), inner1 = std::max(inner1, b.value[v]);
    if (inner0 > inner1) inner0 = inner1 = *lowest;

    Candidate six{};
    six.score = Score{};
    consider(b, inner0, inner1, cut, six);
    if (six.score.error == 0 && six.score.crossings == 0) return write(b, six, alpha, out);
    descend(b, cut, six);
    Candidate eight{};
    eight.score = Score{};
    if (*highest > *lowest) {
        consider(b, *highest, *lowest, cut, eight);
        leastSquares(b, eight, cut, eight);
        descend(b, cut, eight);
    }
    Candidate best = eight.score < six.score ? eight : six;
    // Blocks of several values that neither form's extremes suit well (a
    // fence's smaller levels, values crowding the cut) are searched wide:
    // endpoints on a grid of sixteens, then the best of them moved in finer
    // steps.
    if (best.score.error > kWideAbove * b.distinct && b.distinct > 2) {
        Candidate wide{};
        wide.score = Score{};
        for (int a0 = 0; a0 < 256 + 15; a0 += 16)
            for (int a1 = 0; a1 < 256 + 15; a1 += 16) consider(b, std::min(a0, 255), std::min(a1, 255), cut, wide);
        leastSquares(b, wide, cut, wide);
        descend(b, cut, wide);
        if (wide.score < best.score) best = wide;
    }
    write(b, best, alpha, out);
}

}  // namespace quor::blocks
