// Block compression quality and speed on 512 chains of real pictures: BC1
// (ours, stb_dxt, libsquish's cluster and iterative cluster fits, and
// ImageMagick's DXT1 writer when given), BC3's alpha (ours, squish, stb_dxt)
// on a fence, a ramp and cut-outs, and BC7 (ours), its alpha on the same
// fence over every picture against our BC3's.  Every chain is judged
// against the set's own levels (linear-light halvings of the largest, as
// Create Image Set makes them), every block decoded by one exact decoder.
//
//   dds_quality [--convert CONVERT] PHOTO.ppm ... [--painted PAINTED.ppm ...]
//
// Without pictures, one made-up photo-like picture stands in for them.
#include "blocks.h"
#include "dds.h"
#include "image.h"
#include "photo.h"

#ifdef HAVE_SQUISH
#include <squish.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace b = quor::blocks;
using Clock = std::chrono::steady_clock;

namespace {

using Chain = std::vector<quor::Image>;

struct Picture {
    std::string name;
    bool painted = false;
    Chain chain;
};

Chain chainOf(const quor::Image& largest, bool keepCoverage = false) {
    Chain chain{largest};
    for (int e = largest.width / 2; e >= 1; e /= 2) {
        chain.push_back(quor::resample(largest, e, e, quor::Progress(), quor::Rounding::KeepMeans));
        if (keepCoverage) quor::keepCoverage(chain.back(), largest);
    }
    return chain;
}

quor::Image fromPpm(const std::string& bytes, const std::string& name) {
    std::istringstream in(bytes);
    // Header fields, with comments skipped.
    const auto field = [&] {
        std::string word;
        while (in >> word && word[0] == '#') std::getline(in, word);
        return word;
    };
    const std::string magic = field();
    const int width = std::atoi(field().c_str()), height = std::atoi(field().c_str()), top = std::atoi(field().c_str());
    in.get();
    if (magic != "P6" || width != 512 || height != 512 || top != 255) {
        std::fprintf(stderr, "dds_quality: %s is not a 512x512 8-bit PPM\n", name.c_str());
        std::exit(1);
    }
    const size_t at = size_t(in.tellg());
    if (bytes.size() < at + size_t(512) * 512 * 3) {
        std::fprintf(stderr, "dds_quality: %s is short\n", name.c_str());
        std::exit(1);
    }
    quor::Image image;
    image.width = image.height = 512;
    image.rgba.resize(size_t(512) * 512 * 4);
    for (size_t i = 0; i < size_t(512) * 512; ++i) {
        std::memcpy(&image.rgba[4 * i], bytes.data() + at + 3 * i, 3);
        image.rgba[4 * i + 3] = 255;
    }
    return image;
}

quor::Image readPpm(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return fromPpm(std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>()), path);
}

std::string baseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    return name.substr(0, name.find_last_of('.'));
}

// A chain-link fence over a photograph: wires 3 texels wide on a 32-texel
// diagonal lattice, posts every 128, everything else cut away.
quor::Image fence(const quor::Image& photo) {
    quor::Image image = photo;
    for (int y = 0; y < 512; ++y)
        for (int x = 0; x < 512; ++x) {
            const int u = (x + y) % 32, v = (x - y + 512) % 32;
            const bool wire = u < 3 || v < 3, post = x % 128 < 10;
            image.rgba[(size_t(y) * 512 + size_t(x)) * 4 + 3] = wire || post ? 255 : 0;
        }
    image.hasAlpha = true;
    return image;
}

// A photograph fading from a quarter to fully opaque, with a round hole.
quor::Image ramp(const quor::Image& photo) {
    quor::Image image = photo;
    for (int y = 0; y < 512; ++y)
        for (int x = 0; x < 512; ++x) {
            const bool hole = std::hypot(x - 300.0, y - 200.0) < 60;
            image.rgba[(size_t(y) * 512 + size_t(x)) * 4 + 3] = hole ? 0 : uint8_t(64 + (x * 191) / 511);
        }
    image.hasAlpha = true;
    return image;
}

double coverage(const uint8_t* rgba, size_t texels) {
    size_t kept = 0;
    for (size_t i = 0; i < texels; ++i) kept += rgba[4 * i + 3] >= 128;
    return 100.0 * double(kept) / double(texels);
}

// One encoder on one chain.
struct Result {
    double squared = 0, colourSamples = 0, alphaError = 0, texels = 0, seconds = 0;
    std::vector<double> coverage;  // per level, of what it decodes to
    double psnr() const { return 10 * std::log10(255.0 * 255.0 / (squared / colourSamples)); }
    double alphaMean() const { return alphaError / texels; }
};

using Encoder = std::function<void(const quor::Image& level, uint8_t* out)>;

Result run(const Chain& chain, b::Format f, const Encoder& encode) {
    Result r;
    for (const quor::Image& level : chain) {
        std::vector<uint8_t> blocks(b::encodedSize(level.width, level.height, f)), back(level.rgba.size());
        const auto start = Clock::now();
        encode(level, blocks.data());
        r.seconds += std::chrono::duration<double>(Clock::now() - start).count();
        b::decodePicture(f, blocks.data(), level.width, level.height, back.data());
        for (size_t i = 0; i < level.rgba.size(); i += 4) {
            r.alphaError += std::abs(int(level.rgba[i + 3]) - int(back[i + 3]));
            r.texels += 1;
            // The colour of a texel nobody sees is the encoder's to choose.
            if (level.rgba[i + 3] == 0) continue;
            for (size_t c = 0; c < 3; ++c) {
                const double d = double(level.rgba[i + c]) - back[i + c];
                r.squared += d * d;
            }
            r.colourSamples += 3;
        }
        r.coverage.push_back(coverage(back.data(), back.size() / 4));
    }
    return r;
}

Encoder ours(b::Format f, b::Options o = {}) {
    return
        [f, o](const quor::Image& l, uint8_t* out) { b::encodePicture(f, l.rgba.data(), l.width, l.height, out, o); };
}

#ifdef HAVE_SQUISH
// Its own default weights, which are uniform: what PSNR measures.
Encoder squishEncoder(int flags) {
    return [flags](const quor::Image& l, uint8_t* out) {
        squish::CompressImage(l.rgba.data(), l.width, l.height, out, flags);
    };
}
#endif

// ImageMagick's own chain, made from the largest level, against the set's levels.
bool runMagick(const std::string& convert, const Chain& chain, Result& r) {
    const std::string ppm = "/tmp/corvane-dds-bench.ppm", dds = "/tmp/corvane-dds-bench.dds";
    {
        std::ofstream out(ppm, std::ios::binary);
        out << "P6\n512 512\n255\n";
        for (size_t i = 0; i < chain[0].rgba.size(); i += 4)
            out.write(reinterpret_cast<const char*>(&chain[0].rgba[i]), 3);
    }
    const std::string command =
        "'" + convert + "' " + ppm + " -define dds:compression=dxt1 -define dds:mipmaps=9 " + dds + " 2>/dev/null";
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    r.seconds += std::chrono::duration<double>(Clock::now() - start).count();
    std::ifstream in(dds, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(ppm.c_str());
    std::remove(dds.c_str());
    if (status != 0) return false;
    const corvane::DdsReading reading = corvane::decodeDds(bytes.data(), bytes.size());
    if (!reading.refusal.isEmpty() || reading.chain.levels.size() != chain.size()) return false;
    for (size_t i = 0; i < chain.size(); ++i) {
        const quor::Image& level = chain[i];
        const uint8_t* back = reading.chain.levels[i].data();
        for (size_t t = 0; t < level.rgba.size(); t += 4)
            for (size_t c = 0; c < 3; ++c) {
                const double d = double(level.rgba[t + c]) - back[t + c];
                r.squared += d * d;
                r.colourSamples += 1;
            }
    }
    return true;
}

// Per-picture results of one encoder, and their means.
struct Column {
    std::string name;
    std::vector<Result> results;
    double meanPsnr(int painted, const std::vector<Picture>& pictures) const {  // painted: 0, 1, or -1 for all
        double sum = 0;
        int n = 0;
        for (size_t i = 0; i < results.size(); ++i)
            if (painted < 0 || int(pictures[i].painted) == painted) sum += results[i].psnr(), ++n;
        return n ? sum / n : 0;
    }
    double msPerChain() const {
        double s = 0;
        for (const Result& r : results) s += r.seconds;
        return 1000 * s / double(results.size());
    }
};

std::string machine() {
    std::ifstream cpu("/proc/cpuinfo");
    std::string line, model = "unknown";
    while (std::getline(cpu, line))
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    std::ifstream load("/proc/loadavg");
    std::string l1, l5, l15;
    load >> l1 >> l5 >> l15;
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " processors, load " + l1 + " " + l5 +
           " " + l15 + "; one thread";
}

}  // namespace

int main(int argc, char** argv) {
    std::string convert;
    std::vector<Picture> pictures;
    bool painted = false;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--convert" && k + 1 < argc) convert = argv[++k];
        else if (arg == "--painted") painted = true;
        else pictures.push_back({baseName(arg), painted, chainOf(readPpm(arg))});
    }
    if (pictures.empty())
        pictures.push_back({"photo-like", false, chainOf(fromPpm(corvane::bench::photoPpm(512), ""))});
    int photos = 0;
    for (const Picture& p : pictures) photos += !p.painted;
    const int paintings = int(pictures.size()) - photos;

    std::printf("Measured on %s\n\n", machine().c_str());

    // BC1.
    std::vector<Column> bc1 = {{"ours (vector fit + cluster search)", {}}, {"stb_dxt (high quality)", {}}};
    std::vector<Encoder> bc1Encoders = {ours(b::Format::Bc1), ours(b::Format::Bc1, {b::Quality::Base})};
#ifdef HAVE_SQUISH
    bc1.push_back({"libsquish cluster fit", {}});
    bc1Encoders.push_back(squishEncoder(squish::kDxt1 | squish::kColourClusterFit));
    bc1.push_back({"libsquish iterative cluster fit", {}});
    bc1Encoders.push_back(squishEncoder(squish::kDxt1 | squish::kColourIterativeClusterFit));
#endif
    Column magick{"ImageMagick DXT1 writer (own mips)", {}};
    bool magickOk = !convert.empty();
    Column bc7{"ours BC7", {}};
    for (const Picture& p : pictures) {
        for (size_t e = 0; e < bc1.size(); ++e) bc1[e].results.push_back(run(p.chain, b::Format::Bc1, bc1Encoders[e]));
        bc7.results.push_back(run(p.chain, b::Format::Bc7, ours(b::Format::Bc7)));
        if (magickOk) {
            magick.results.emplace_back();
            magickOk = runMagick(convert, p.chain, magick.results.back());
        }
    }
    if (magickOk) bc1.push_back(magick);

    std::printf("BC1: %d photographs and %d painted textures, 512 chains (10 levels each);\n", photos, paintings);
    std::printf("mean over pictures of the PSNR of all levels against the set's own levels\n");
    std::printf("%-38s %9s %9s %9s %11s\n", "encoder", "photos", "painted", "all", "ms/chain");
    for (const Column& c : bc1)
        std::printf("%-38s %9.3f %9.3f %9.3f %11.1f\n", c.name.c_str(), c.meanPsnr(0, pictures),
                    c.meanPsnr(1, pictures), c.meanPsnr(-1, pictures), c.msPerChain());
#ifdef HAVE_SQUISH
    {
        double low = 1e9, high = -1e9;
        for (size_t i = 0; i < pictures.size(); ++i) {
            const double d = bc1[0].results[i].psnr() - bc1[2].results[i].psnr();
            low = std::min(low, d);
            high = std::max(high, d);
        }
        std::printf(
            "ours - squish cluster fit: %+.3f dB (per picture %+.3f .. %+.3f; target >= -0.1), "
            "%.1fx its speed (target >= 10x)\n",
            bc1[0].meanPsnr(-1, pictures) - bc1[2].meanPsnr(-1, pictures), low, high,
            bc1[2].msPerChain() / bc1[0].msPerChain());
    }
#endif
    std::printf("\nPer picture, BC1 ours / squish cluster / BC7 ours (dB):\n");
    for (size_t i = 0; i < pictures.size(); ++i)
        std::printf("  %-26s %8.3f %8.3f %8.3f\n", pictures[i].name.c_str(), bc1[0].results[i].psnr(),
                    bc1.size() > 2 ? bc1[2].results[i].psnr() : 0.0, bc7.results[i].psnr());

    std::printf(
        "\nBC7 (opaque pictures): %.3f dB photos, %.3f painted, %.3f all: %+.3f dB over our BC1 "
        "(target >= +6); %.1f ms per chain (target <= 150)\n",
        bc7.meanPsnr(0, pictures), bc7.meanPsnr(1, pictures), bc7.meanPsnr(-1, pictures),
        bc7.meanPsnr(-1, pictures) - bc1[0].meanPsnr(-1, pictures), bc7.msPerChain());

    // Alpha: a fence whose levels keep its coverage, as the set makes them,
    // and a ramp with a hole, over the first picture.
    const quor::Image& base = pictures[0].chain[0];
    const Chain fenceChain = chainOf(fence(base), true), rampChain = chainOf(ramp(base));
    struct AlphaCoder {
        const char* name;
        b::Format format;
        Encoder encode;
    };
    b::Options noCut;
    noCut.alphaCut = 0;  // every texel is on the one side: no cut to keep
    std::vector<AlphaCoder> alphaCoders = {{"BC3 ours", b::Format::Bc3, ours(b::Format::Bc3)},
                                           {"BC3 ours, no cut", b::Format::Bc3, ours(b::Format::Bc3, noCut)},
                                           {"BC3 stb_dxt", b::Format::Bc3, ours(b::Format::Bc3, {b::Quality::Base})}};
#ifdef HAVE_SQUISH
    alphaCoders.push_back({"BC3 libsquish", b::Format::Bc3, squishEncoder(squish::kDxt5 | squish::kColourClusterFit)});
#endif
    alphaCoders.push_back({"BC7 ours", b::Format::Bc7, ours(b::Format::Bc7)});
    std::printf(
        "\nAlpha over all levels: mean error /255 on the fence and the ramp; colour PSNR of the ramp\n(visible "
        "texels)\n");
    std::printf("%-16s %9s %9s %11s %11s\n", "coder", "fence", "ramp", "ramp dB", "ms/chain");
    std::vector<Result> fenceResults;
    for (const AlphaCoder& a : alphaCoders) {
        const Result f = run(fenceChain, a.format, a.encode), r = run(rampChain, a.format, a.encode);
        std::printf("%-16s %9.3f %9.3f %11.3f %11.1f\n", a.name, f.alphaMean(), r.alphaMean(), r.psnr(),
                    1000 * (f.seconds + r.seconds) / 2);
        fenceResults.push_back(f);
    }
    std::printf("\nThe fence's coverage (%% of texels at alpha 128 or more) by level (target: within 1 point)\n");
    std::printf("%-16s", "level");
    for (const quor::Image& l : fenceChain) std::printf(" %6d", l.width);
    std::printf("\n%-16s", "the set's");
    for (const quor::Image& l : fenceChain) std::printf(" %6.1f", coverage(l.rgba.data(), l.rgba.size() / 4));
    for (size_t k = 0; k < alphaCoders.size(); ++k) {
        std::printf("\n%-16s", alphaCoders[k].name);
        for (double c : fenceResults[k].coverage) std::printf(" %6.1f", c);
    }
    std::printf("\n");

    // The same fence over every picture: BC7's alpha against our BC3's, and
    // the levels whose coverage leaves the set's by more than a point.
    double bc3Alpha = 0, bc7Alpha = 0;
    int bc3Off = 0, bc7Off = 0;
    for (const Picture& p : pictures) {
        const Chain cutOut = chainOf(fence(p.chain[0]), true);
        const Result three = run(cutOut, b::Format::Bc3, ours(b::Format::Bc3)),
                     seven = run(cutOut, b::Format::Bc7, ours(b::Format::Bc7));
        bc3Alpha += three.alphaMean() / double(pictures.size());
        bc7Alpha += seven.alphaMean() / double(pictures.size());
        for (size_t l = 0; l < cutOut.size(); ++l) {
            const double source = coverage(cutOut[l].rgba.data(), cutOut[l].rgba.size() / 4);
            bc3Off += std::abs(three.coverage[l] - source) > 1;
            bc7Off += std::abs(seven.coverage[l] - source) > 1;
        }
    }
    std::printf(
        "\nThe fence over each of the %zu pictures: mean alpha error /255 BC3 ours %.4f, BC7 ours %.4f "
        "(target: BC7 <= BC3);\nlevels with coverage more than 1 point off: BC3 %d, BC7 %d\n",
        pictures.size(), bc3Alpha, bc7Alpha, bc3Off, bc7Off);
    return 0;
}
