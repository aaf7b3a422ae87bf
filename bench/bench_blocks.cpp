// BC7 on one 512 chain (the largest level and its box halvings down to
// 1x1), CPU time per chain on one thread: an opaque photo, and the same
// photo with a fence's cut-out and with a ramp of alpha, the textures whose
// blocks take the alpha searches.
#include "blocks.h"
#include "photo.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace {

namespace b = quor::blocks;

constexpr int kEdge = 512;

struct Level {
    int edge;
    std::vector<uint8_t> rgba;
};

enum class Alpha { Opaque, Fence, Ramp };

std::vector<Level> chain(Alpha alpha) {
    const std::string ppm = corvane::bench::photoPpm(kEdge);
    const size_t pixels = ppm.size() - size_t(kEdge) * kEdge * 3;
    Level top{kEdge, std::vector<uint8_t>(size_t(kEdge) * kEdge * 4)};
    for (int y = 0; y < kEdge; ++y)
        for (int x = 0; x < kEdge; ++x) {
            const size_t i = size_t(y) * kEdge + size_t(x);
            for (size_t c = 0; c < 3; ++c) top.rgba[4 * i + c] = uint8_t(ppm[pixels + 3 * i + c]);
            uint8_t a = 255;
            if (alpha == Alpha::Fence) a = (x + y) % 16 < 2 || (x - y + kEdge) % 16 < 2 || x % 64 < 5 ? 255 : 0;
            if (alpha == Alpha::Ramp)
                a = std::hypot(x - 0.6 * kEdge, y - 0.4 * kEdge) < 0.12 * kEdge ? 0
                                                                                : uint8_t(64 + x * 191 / (kEdge - 1));
            top.rgba[4 * i + 3] = a;
        }
    std::vector<Level> levels{top};
    for (int e = kEdge / 2; e >= 1; e /= 2) {
        const Level& up = levels.back();
        Level l{e, std::vector<uint8_t>(size_t(e) * size_t(e) * 4)};
        for (int y = 0; y < e; ++y)
            for (int x = 0; x < e; ++x)
                for (size_t c = 0; c < 4; ++c) {
                    int sum = 2;
                    for (int dy = 0; dy < 2; ++dy)
                        for (int dx = 0; dx < 2; ++dx)
                            sum += up.rgba[(size_t(2 * y + dy) * size_t(up.edge) + size_t(2 * x + dx)) * 4 + c];
                    l.rgba[(size_t(y) * size_t(e) + size_t(x)) * 4 + c] = uint8_t(sum / 4);
                }
        levels.push_back(std::move(l));
    }
    return levels;
}

void bc7Chain(benchmark::State& state, Alpha alpha) {
    const std::vector<Level> levels = chain(alpha);
    std::vector<uint8_t> out(b::encodedSize(kEdge, kEdge, b::Format::Bc7));
    for (auto _ : state)
        for (const Level& l : levels) {
            b::encodePicture(b::Format::Bc7, l.rgba.data(), l.edge, l.edge, out.data());
            benchmark::DoNotOptimize(out.data());
        }
}

void BM_Bc7ChainOpaque(benchmark::State& state) { bc7Chain(state, Alpha::Opaque); }
void BM_Bc7ChainFence(benchmark::State& state) { bc7Chain(state, Alpha::Fence); }
void BM_Bc7ChainRamp(benchmark::State& state) { bc7Chain(state, Alpha::Ramp); }

}  // namespace

#define CORVANE_BENCHMARK(name) BENCHMARK(name)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()
CORVANE_BENCHMARK(BM_Bc7ChainOpaque);
CORVANE_BENCHMARK(BM_Bc7ChainFence);
CORVANE_BENCHMARK(BM_Bc7ChainRamp);

BENCHMARK_MAIN();
