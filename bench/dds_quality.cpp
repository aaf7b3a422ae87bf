// Block compression quality and speed on photo-like 512 chains: ours, stb
// alone, libsquish's cluster fit (when built with it) and ImageMagick's DXT1
// writer, every chain judged against the set's own levels (linear-light
// halvings of the largest, as Create Image Set makes them), all decoded by
// one exact decoder.  Also BC3's alpha error on the same pictures with alpha.
//
//   dds_quality [PICTURES] [CONVERT]     defaults: 24, no ImageMagick column
#include "blocks.h"
#include "dds.h"
#include "image.h"
#include "photo.h"

#ifdef HAVE_SQUISH
#include <squish.h>
#endif

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace b = quor::blocks;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<quor::Image> chainOf(const quor::Image& largest) {
    std::vector<quor::Image> chain{largest};
    for (int e = largest.width / 2; e >= 1; e /= 2)
        chain.push_back(quor::resample(largest, e, e, quor::Progress(), quor::Rounding::KeepMeans));
    return chain;
}

quor::Image photo(int variant, bool alpha) {
    const std::string ppm = corvane::bench::photoPpm(512, variant);
    const size_t at = ppm.size() - size_t(512) * 512 * 3;
    quor::Image image;
    image.width = image.height = 512;
    image.rgba.resize(size_t(512) * 512 * 4);
    for (size_t i = 0; i < size_t(512) * 512; ++i) {
        std::memcpy(&image.rgba[4 * i], ppm.data() + at + 3 * i, 3);
        const int x = int(i % 512), y = int(i / 512);
        // A soft ramp with a hard-edged cut-out, as painted decals have.
        const bool hole = std::hypot(x - 300.0, y - 200.0) < 60;
        image.rgba[4 * i + 3] = alpha ? (hole ? 0 : uint8_t(64 + (x * 191) / 511)) : 255;
    }
    image.hasAlpha = alpha;
    return image;
}

struct Score {
    double squared = 0, texels = 0, alpha = 0, seconds = 0;
    void add(const quor::Image& level, const uint8_t* decoded) {
        for (size_t i = 0; i < level.rgba.size(); i += 4) {
            for (size_t c = 0; c < 3; ++c) {
                const double d = double(level.rgba[i + c]) - decoded[i + c];
                squared += d * d;
            }
            alpha += std::abs(int(level.rgba[i + 3]) - int(decoded[i + 3]));
            texels += 1;
        }
    }
    double psnr() const { return 10 * std::log10(255.0 * 255.0 / (squared / (3 * texels))); }
};

using Encoder = std::function<void(const quor::Image& level, uint8_t* out)>;

void score(const std::vector<quor::Image>& chain, b::Format f, const Encoder& encode, Score& s) {
    for (const quor::Image& level : chain) {
        std::vector<uint8_t> blocks(b::encodedSize(level.width, level.height, f)), back(level.rgba.size());
        const auto start = Clock::now();
        encode(level, blocks.data());
        s.seconds += std::chrono::duration<double>(Clock::now() - start).count();
        b::decodePicture(f, blocks.data(), level.width, level.height, back.data());
        s.add(level, back.data());
    }
}

// ImageMagick's own chain, made from the largest level, against the set's levels.
bool scoreMagick(const std::string& convert, const std::vector<quor::Image>& chain, Score& s) {
    const std::string ppm = "/tmp/corvane-dds-bench.ppm", dds = "/tmp/corvane-dds-bench.dds";
    {
        std::ofstream out(ppm, std::ios::binary);
        out << "P6\n512 512\n255\n";
        for (size_t i = 0; i < chain[0].rgba.size(); i += 4) out.write(reinterpret_cast<const char*>(&chain[0].rgba[i]), 3);
    }
    const std::string command = "'" + convert + "' " + ppm +
                                " -define dds:compression=dxt1 -define dds:mipmaps=9 " + dds + " 2>/dev/null";
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    s.seconds += std::chrono::duration<double>(Clock::now() - start).count();
    std::ifstream in(dds, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(ppm.c_str());
    std::remove(dds.c_str());
    if (status != 0) return false;
    const corvane::DdsReading r = corvane::decodeDds(bytes.data(), bytes.size());
    if (!r.refusal.isEmpty() || r.chain.levels.size() != chain.size()) return false;
    for (size_t i = 0; i < chain.size(); ++i) s.add(chain[i], r.chain.levels[i].data());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int pictures = argc > 1 ? std::atoi(argv[1]) : 24;
    const std::string convert = argc > 2 ? argv[2] : "";
    Score ours, stb, squish, magick, alpha;
    bool magickOk = !convert.empty();
    for (int v = 0; v < pictures; ++v) {
        const std::vector<quor::Image> chain = chainOf(photo(v, false));
        score(chain, b::Format::Bc1, [](const quor::Image& l, uint8_t* out) {
            b::encodePicture(b::Format::Bc1, l.rgba.data(), l.width, l.height, out, b::Quality::Refined);
        }, ours);
        score(chain, b::Format::Bc1, [](const quor::Image& l, uint8_t* out) {
            b::encodePicture(b::Format::Bc1, l.rgba.data(), l.width, l.height, out, b::Quality::Base);
        }, stb);
#ifdef HAVE_SQUISH
        score(chain, b::Format::Bc1, [](const quor::Image& l, uint8_t* out) {
            squish::CompressImage(l.rgba.data(), l.width, l.height, out, squish::kDxt1 | squish::kColourClusterFit);
        }, squish);
#endif
        if (magickOk) magickOk = scoreMagick(convert, chain, magick);
        score(chainOf(photo(v, true)), b::Format::Bc3, [](const quor::Image& l, uint8_t* out) {
            b::encodePicture(b::Format::Bc3, l.rgba.data(), l.width, l.height, out, b::Quality::Refined);
        }, alpha);
    }
    const double chains = pictures;
    std::printf("BC1, %d photo-like 512 chains (10 levels each), PSNR of all levels against the set's own\n", pictures);
    std::printf("%-34s %9s %14s\n", "encoder", "PSNR dB", "ms per chain");
    const auto line = [&](const char* name, const Score& s) {
        std::printf("%-34s %9.3f %14.1f\n", name, s.psnr(), 1000 * s.seconds / chains);
    };
    line("ours (axis + least squares)", ours);
    line("stb_dxt alone (HQ)", stb);
#ifdef HAVE_SQUISH
    line("libsquish cluster fit", squish);
    std::printf("\nours - squish: %+.3f dB (target >= -0.1); speed %.1fx squish's (target >= 10x)\n",
                ours.psnr() - squish.psnr(), squish.seconds / ours.seconds);
#else
    std::printf("libsquish cluster fit              (not built: install libsquish-dev and rebuild)\n");
#endif
    if (magickOk) line("ImageMagick DXT1 writer (own mips)", magick);
    else if (!convert.empty()) std::printf("ImageMagick DXT1 writer            (failed)\n");
    std::printf("\nBC3 alpha, the same pictures with a ramp and a cut-out: mean error %.3f/255 (target <= 1/255)\n",
                alpha.alpha / alpha.texels);
    return 0;
}
