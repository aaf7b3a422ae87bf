// The library's heavy routines on texture-sized pictures, called through the
// C interface exactly as the program calls them: the sub-image chain of
// Create Image Set, reduction of a photo to 256 colours, remapping a level
// onto a set's palette, and decoding a foreign picture.
#include "photo.h"
#include "quorimg.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kEdge = 512;
constexpr size_t kPaletteFileBytes = 1078;  // headers and palette of an 8-bit BMP

// Source pictures, made once through the library itself and removed at exit.
class Files {
public:
    Files() {
        std::string pattern = (fs::temp_directory_path() / "corvane-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            error_ = "cannot make a temporary folder";
            return;
        }
        dir_ = pattern;
        std::ofstream(path("photo.ppm"), std::ios::binary) << corvane::bench::photoPpm(kEdge);
        QuorContext ctx{};
        if (!_anytobmps(path("photo.ppm").c_str(), path("photo24.bmp").c_str(), &ctx, 0, 0) ||
            !_anyto256(path("photo24.bmp").c_str(), path("photo8.bmp").c_str(), &ctx, 0, 0) ||
            !_bmpresize(path("photo24.bmp").c_str(), path("level256.bmp").c_str(), &ctx, 256, 256)) {
            error_ = "the library could not make the source pictures";
            return;
        }
        std::error_code ec;
        fs::copy_file(path("photo8.bmp"), path("palette.bmp"), ec);
        fs::resize_file(path("palette.bmp"), kPaletteFileBytes, ec);
        if (ec) error_ = "cannot make the palette file";
    }
    ~Files() {
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    // Empty when every source picture is there.
    const std::string& error() const { return error_; }

private:
    fs::path dir_;
    std::string error_;
};

const Files& files() {
    static const Files made;
    return made;
}

bool haveFiles(benchmark::State& state) {
    if (files().error().empty()) return true;
    state.SkipWithError(files().error().c_str());
    return false;
}

// Every smaller level straight from the largest, as Create Image Set does.
void resizeChain(benchmark::State& state, const char* source) {
    if (!haveFiles(state)) return;
    const std::string src = files().path(source);
    std::vector<std::string> levels;
    for (int edge = kEdge / 2; edge >= 1; edge /= 2)
        levels.push_back(files().path("level" + std::to_string(edge) + ".out.bmp"));
    QuorContext ctx{};
    for (auto _ : state) {
        int edge = kEdge / 2;
        for (const std::string& level : levels) {
            if (!_bmpresize(src.c_str(), level.c_str(), &ctx, edge, edge)) state.SkipWithError("_bmpresize failed");
            edge /= 2;
        }
    }
}

void BM_ResizeChain8(benchmark::State& state) { resizeChain(state, "photo8.bmp"); }
void BM_ResizeChain24(benchmark::State& state) { resizeChain(state, "photo24.bmp"); }

void BM_AnyTo256(benchmark::State& state) {
    if (!haveFiles(state)) return;
    const std::string src = files().path("photo24.bmp"), dst = files().path("anyto256.out.bmp");
    QuorContext ctx{};
    for (auto _ : state)
        if (!_anyto256(src.c_str(), dst.c_str(), &ctx, 0, 0)) state.SkipWithError("_anyto256 failed");
}

void BM_RemapLevel256(benchmark::State& state) {
    if (!haveFiles(state)) return;
    const std::string src = files().path("level256.bmp"), dst = files().path("remap.out.bmp");
    const std::string palette = files().path("palette.bmp");
    QuorContext ctx{};
    for (auto _ : state)
        if (!_bmpremap(src.c_str(), dst.c_str(), &ctx, palette.c_str())) state.SkipWithError("_bmpremap failed");
}

// A foreign picture (decoded by ImageMagick) written as a 24-bit BMP.
void BM_AnyToBmpsForeign(benchmark::State& state) {
    if (!haveFiles(state)) return;
    const std::string src = files().path("photo.ppm"), dst = files().path("anytobmps.out.bmp");
    QuorContext ctx{};
    for (auto _ : state)
        if (!_anytobmps(src.c_str(), dst.c_str(), &ctx, 0, 0)) state.SkipWithError("_anytobmps failed");
}

// The decoders and the quantizer run on worker threads too: count the whole
// process's CPU time, and the wall clock for the iterations.
#define CORVANE_BENCHMARK(name) BENCHMARK(name)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()

CORVANE_BENCHMARK(BM_ResizeChain8);
CORVANE_BENCHMARK(BM_ResizeChain24);
CORVANE_BENCHMARK(BM_AnyTo256);
CORVANE_BENCHMARK(BM_RemapLevel256);
CORVANE_BENCHMARK(BM_AnyToBmpsForeign);

}  // namespace

BENCHMARK_MAIN();
