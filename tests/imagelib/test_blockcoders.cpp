// The block coders measured against what does not share their code: BC7
// decoding against Pillow's and OpenImageIO's, the alpha coder against an
// exhaustive search and libsquish, BC1 against libsquish's cluster fit, and
// the library's build against a plain build of the same coders.
#include "alphafit.h"
#include "bc7.h"
#include "bc7tables.h"
#include "blocks.h"
#include "colourfit.h"
#include "image.h"

#include <gtest/gtest.h>
#include <squish.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace b = quor::blocks;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;
using Chain = std::vector<quor::Image>;

// --- pictures ---------------------------------------------------------------

quor::Image blank(int edge) {
    quor::Image image;
    image.width = image.height = edge;
    image.rgba.assign(size_t(edge) * size_t(edge) * 4, 255);
    return image;
}

void put(quor::Image& image, int x, int y, std::array<int, 3> c) {
    uint8_t* p = &image.rgba[(size_t(y) * size_t(image.width) + size_t(x)) * 4];
    for (size_t k = 0; k < 3; ++k) p[k] = uint8_t(std::clamp(c[k], 0, 255));
}

// A picture of `edge` painted at 256 units across: `colour(u, v)` gives
// each texel's colour before grain of up to +-`grainSize` is added.
template <typename Colour>
quor::Image painted(int edge, unsigned seed, int grainSize, Colour colour) {
    quor::Image image = blank(edge);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> grain(-grainSize, grainSize);
    const double k = edge / 256.0;
    for (int y = 0; y < edge; ++y)
        for (int x = 0; x < edge; ++x) {
            std::array<int, 3> c = colour(x / k, y / k);
            for (int& channel : c) channel += grain(random);
            put(image, x, y, c);
        }
    return image;
}

// A painted texture: a body in a soft gradient, a cheat line with dark
// outlines, a roundel, panel lines, blocky lettering and light grain.
quor::Image livery(int edge, unsigned seed) {
    return painted(edge, seed, 3, [](double u, double v) {
        std::array<int, 3> c = {int(220 - v / 6), int(224 - v / 5), int(228 - v / 4)};
        const double line = v - (150 - u * 0.25);
        if (std::abs(line) < 14) c = {196, 24, 40};
        if (std::abs(std::abs(line) - 14) < 1.5) c = {20, 20, 20};
        const double roundel = std::hypot(u - 190, v - 60);
        if (roundel < 26) c = roundel > 20 ? std::array<int, 3>{250, 200, 0} : std::array<int, 3>{30, 60, 150};
        if (int(u) % 64 == 0 || int(v) == 210) c = {90, 90, 96};
        // Letters: a blocky stroke pattern in a band.
        if (v > 220 && v < 244 && u > 20 && u < 200 && (int(u / 4) % 5 < 3) && ((int(u) + int(v)) / 6 % 3 != 0))
            c = {16, 16, 16};
        return c;
    });
}

// Something like a photograph: smooth light, grain, a few hard shapes.
quor::Image photoLike(int edge, unsigned seed) {
    return painted(edge, seed, 4, [](double u, double v) {
        std::array<int, 3> c = {int(128 + 90 * std::sin(u / 23.0) * std::cos(v / 31.0)), int(40 + 0.6 * (u + v) / 2),
                                int(200 - 0.5 * std::hypot(u - 150, v - 110))};
        if (std::hypot(u - 80, v - 170) < 35) c = {c[0] / 3, c[1] / 2, c[2] / 2};
        return c;
    });
}

// Alpha of a chain-link fence (wires on a diagonal lattice, posts), or a
// ramp from a quarter to opaque with a round hole.
quor::Image withAlpha(quor::Image image, bool fence, int wire = 2) {
    const int edge = image.width;
    for (int y = 0; y < edge; ++y)
        for (int x = 0; x < edge; ++x) {
            uint8_t& a = image.rgba[(size_t(y) * size_t(edge) + size_t(x)) * 4 + 3];
            if (fence) a = (x + y) % 16 < wire || (x - y + edge) % 16 < wire || x % 64 < 5 ? 255 : 0;
            else a = std::hypot(x - 0.6 * edge, y - 0.4 * edge) < 0.12 * edge ? 0 : uint8_t(64 + x * 191 / (edge - 1));
        }
    image.hasAlpha = true;
    return image;
}

// The levels as the set makes them: linear-light halvings of the largest;
// a cut-out's levels keep its coverage.
Chain chainOf(const quor::Image& largest, bool keepCoverage) {
    Chain chain{largest};
    for (int e = largest.width / 2; e >= 1; e /= 2) {
        chain.push_back(quor::resample(largest, e, e, quor::Progress(), quor::Rounding::KeepMeans));
        if (keepCoverage) quor::keepCoverage(chain.back(), largest);
    }
    return chain;
}

// --- measures ---------------------------------------------------------------

using Encoder = std::function<void(const quor::Image&, uint8_t*)>;

Encoder ours(b::Format f, b::Options o = {}) {
    return
        [f, o](const quor::Image& l, uint8_t* out) { b::encodePicture(f, l.rgba.data(), l.width, l.height, out, o); };
}

Encoder squishing(int flags) {
    return [flags](const quor::Image& l, uint8_t* out) {
        squish::CompressImage(l.rgba.data(), l.width, l.height, out, flags);
    };
}

// Every level encoded and decoded (by our decoder, itself checked against
// outside readers below): colour PSNR over all levels (each texel's colour
// weighed by its alpha, as it is seen), mean alpha error,
// and each level's coverage (share of texels at alpha 128 or more, in %).
struct Scores {
    double psnr = 0, alphaError = 0;
    std::vector<double> coverage;
};

double coverageOf(const Bytes& rgba) {
    size_t kept = 0;
    for (size_t i = 3; i < rgba.size(); i += 4) kept += rgba[i] >= 128;
    return 100.0 * double(kept) / double(rgba.size() / 4);
}

Scores score(const Chain& chain, b::Format f, const Encoder& encode) {
    double squared = 0, samples = 0, alpha = 0, texels = 0;
    Scores s;
    for (const quor::Image& level : chain) {
        Bytes blocks(b::encodedSize(level.width, level.height, f)), back(level.rgba.size());
        encode(level, blocks.data());
        b::decodePicture(f, blocks.data(), level.width, level.height, back.data());
        for (size_t i = 0; i < back.size(); i += 4) {
            alpha += std::abs(int(back[i + 3]) - int(level.rgba[i + 3]));
            texels += 1;
            // Colour counts as much as it is seen: by its alpha.
            const double seen = level.rgba[i + 3] / 255.0;
            for (size_t c = 0; c < 3; ++c) squared += seen * std::pow(double(back[i + c]) - level.rgba[i + c], 2);
            samples += 3 * seen;
        }
        s.coverage.push_back(coverageOf(back));
    }
    s.psnr = 10 * std::log10(255.0 * 255.0 * samples / squared);
    s.alphaError = alpha / texels;
    return s;
}

// --- outside readers --------------------------------------------------------

struct Scratch {
    fs::path dir;
    Scratch() {
        dir = fs::temp_directory_path() / ("corvane-blockcoders-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    ~Scratch() { fs::remove_all(dir); }
};

void put32(Bytes& out, uint32_t v) {
    for (int k = 0; k < 4; ++k) out.push_back(uint8_t(v >> (8 * k)));
}

// The least DDS file with the DX10 header that holds one level of BC7 blocks.
void writeBc7Dds(const fs::path& path, int width, int height, const Bytes& blocks) {
    Bytes file = {'D', 'D', 'S', ' '};
    put32(file, 124);
    put32(file, 0x1 | 0x2 | 0x4 | 0x1000 | 0x80000);  // caps, height, width, pixel format, linear size
    put32(file, uint32_t(height));
    put32(file, uint32_t(width));
    put32(file, uint32_t(blocks.size()));
    put32(file, 0);  // depth
    put32(file, 1);  // mips
    for (int k = 0; k < 11; ++k) put32(file, 0);
    put32(file, 32);  // pixel format: size, FourCC flag, "DX10", no masks
    put32(file, 0x4);
    file.insert(file.end(), {'D', 'X', '1', '0'});
    for (int k = 0; k < 5; ++k) put32(file, 0);
    put32(file, 0x1000);  // caps: a texture
    for (int k = 0; k < 4; ++k) put32(file, 0);
    put32(file, 98);  // DXGI_FORMAT_BC7_UNORM
    put32(file, 3);   // a 2D texture
    put32(file, 0);
    put32(file, 1);  // array size
    put32(file, 0);
    file.insert(file.end(), blocks.begin(), blocks.end());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
}

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The samples of a binary PPM or PGM (no comments: OpenImageIO writes none).
Bytes pnmSamples(const fs::path& path) {
    const Bytes bytes = readFile(path);
    size_t at = 0;
    for (int fields = 0; fields < 4 && at < bytes.size(); ++fields) {
        while (at < bytes.size() && !std::isspace(bytes[at])) ++at;
        ++at;
    }
    return Bytes(bytes.begin() + std::ptrdiff_t(std::min(at, bytes.size())), bytes.end());
}

bool haveProgram(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Debian's python3 with Pillow (an interpreter of a user's own may stand first on PATH).
const char* kPython = "/usr/bin/python3";

Bytes pillowRgba(const fs::path& dds, const fs::path& out) {
    const std::string command = std::string(kPython) +
                                " -c \"import sys; from PIL import Image; "
                                "im = Image.open(sys.argv[1]); im.load(); "
                                "open(sys.argv[2], 'wb').write(im.convert('RGBA').tobytes())\" '" +
                                dds.string() + "' '" + out.string() + "'";
    return std::system(command.c_str()) == 0 ? readFile(out) : Bytes{};
}

// Colour and alpha as pictures of their own, so that no step divides one by the other.
Bytes oiioRgba(const fs::path& dds, const fs::path& scratch) {
    const fs::path colour = scratch / "oiio.ppm", alpha = scratch / "oiio.pgm";
    const std::string command = "oiiotool '" + dds.string() + "' -d uint8 --dup --ch R,G,B -o '" + colour.string() +
                                "' --pop --ch A -o '" + alpha.string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return {};
    const Bytes rgb = pnmSamples(colour), a = pnmSamples(alpha);
    Bytes rgba;
    for (size_t i = 0; i < a.size() && 3 * i + 2 < rgb.size(); ++i)
        rgba.insert(rgba.end(), {rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2], a[i]});
    return rgba;
}

}  // namespace

// Blocks of every mode and every shape, with random fields, and what our
// encoder writes for opaque and cut-out pictures: Pillow and OpenImageIO
// decode every texel within 1 of our decoder (both, in fact, exactly).
TEST(Bc7Decoding, AgreesWithPillowAndOpenImageIO) {
    const bool pillow = std::system((std::string(kPython) + " -c 'import PIL' 2>/dev/null").c_str()) == 0;
    const bool oiio = haveProgram("oiiotool");
    if (!pillow && !oiio) GTEST_SKIP() << "neither Pillow (python3-pil) nor oiiotool (openimageio-tools) is installed";

    std::mt19937 random(7);
    struct Case {
        const char* what;
        Bytes blocks;
        int width;
    };
    std::vector<Case> cases;
    // Random fields: 64 blocks of each mode, block k of a mode in shape k
    // (modes without shapes take the bits as they come).
    for (int mode = 0; mode < 8; ++mode) {
        const int shapeBits = mode == 0 ? 4 : (mode == 1 || mode == 2 || mode == 3 || mode == 7) ? 6 : 0;
        Bytes blocks;
        for (int k = 0; k < 64; ++k) {
            uint8_t block[16];
            for (uint8_t& byte : block) byte = uint8_t(random());
            unsigned low = (unsigned(block[0]) | unsigned(block[1]) << 8) & ~((2u << mode) - 1);
            low |= 1u << mode;
            if (shapeBits)
                low = (low & ~(((1u << shapeBits) - 1) << (mode + 1))) | unsigned(k % (1 << shapeBits)) << (mode + 1);
            block[0] = uint8_t(low);
            block[1] = uint8_t(low >> 8);
            blocks.insert(blocks.end(), block, block + 16);
        }
        cases.push_back({"random fields", blocks, 64});
    }
    for (const quor::Image& picture :
         {livery(64, 1), withAlpha(photoLike(64, 2), true), withAlpha(livery(64, 3), false)}) {
        Bytes blocks(b::encodedSize(64, 64, b::Format::Bc7));
        b::encodePicture(b::Format::Bc7, picture.rgba.data(), 64, 64, blocks.data());
        cases.push_back({"our encoder", blocks, 64});
    }

    Scratch scratch;
    for (size_t n = 0; n < cases.size(); ++n) {
        const Case& c = cases[n];
        const int height = int(c.blocks.size() / 16) / (c.width / 4) * 4;
        const fs::path dds = scratch.dir / ("case" + std::to_string(n) + ".dds");
        writeBc7Dds(dds, c.width, height, c.blocks);
        Bytes ourRgba(size_t(c.width) * size_t(height) * 4);
        b::decodePicture(b::Format::Bc7, c.blocks.data(), c.width, height, ourRgba.data());
        for (const auto& [reader, decoded] :
             {std::pair<const char*, Bytes>{"Pillow", pillow ? pillowRgba(dds, scratch.dir / "pillow.rgba") : Bytes{}},
              {"OpenImageIO", oiio ? oiioRgba(dds, scratch.dir) : Bytes{}}}) {
            if ((std::string(reader) == "Pillow" && !pillow) || (std::string(reader) == "OpenImageIO" && !oiio))
                continue;
            ASSERT_EQ(decoded.size(), ourRgba.size()) << reader << ", case " << n << " (" << c.what << ")";
            int worst = 0;
            size_t at = 0;
            for (size_t i = 0; i < decoded.size(); ++i)
                if (std::abs(int(decoded[i]) - int(ourRgba[i])) > worst)
                    worst = std::abs(int(decoded[i]) - int(ourRgba[i])), at = i;
            EXPECT_LE(worst, 1) << reader << ", case " << n << " (" << c.what << "): texel " << at / 4 << " channel "
                                << at % 4 << " is " << int(decoded[at]) << ", ours " << int(ourRgba[at]);
        }
    }
}

namespace {

// An alpha block's values as decoders give them: the in-between steps
// rounded down (ours) and rounded up (the most any decoder gives).
std::array<std::array<int, 8>, 2> alphaSteps(int a0, int a1) {
    std::array<std::array<int, 8>, 2> v{};
    for (int round = 0; round < 2; ++round) {
        v[size_t(round)][0] = a0;
        v[size_t(round)][1] = a1;
        const int parts = a0 > a1 ? 7 : 5;
        for (int k = 1; k < parts; ++k) {
            const int sum = (parts - k) * a0 + k * a1;
            v[size_t(round)][size_t(k + 1)] = round ? (sum + parts - 1) / parts : sum / parts;
        }
        if (a0 <= a1) v[size_t(round)][6] = 0, v[size_t(round)][7] = 255;
    }
    return v;
}

struct AlphaScore {
    int crossings = 0;  // texels some decoder puts on the other side of the cut
    int error = 0;      // squared, as ours decodes
};

AlphaScore scoreAlpha(const std::array<int, 16>& alpha, int a0, int a1, const std::array<int, 16>& index, int cut) {
    const auto v = alphaSteps(a0, a1);
    AlphaScore s;
    for (size_t i = 0; i < 16; ++i) {
        const int down = v[0][size_t(index[i])], up = v[1][size_t(index[i])];
        s.crossings += alpha[i] < cut ? up >= cut : down < cut;
        s.error += (down - alpha[i]) * (down - alpha[i]);
    }
    return s;
}

// The best block there is: every pair of endpoints, each texel given the
// index that keeps it on its side (if any does) and is nearest.
AlphaScore bestAlpha(const std::array<int, 16>& alpha, int cut) {
    AlphaScore best{99, 1 << 30};
    for (int a0 = 0; a0 < 256; ++a0)
        for (int a1 = 0; a1 < 256; ++a1) {
            const auto v = alphaSteps(a0, a1);
            AlphaScore s;
            for (int x : alpha) {
                int bestSide = 1 << 30, bestAny = 1 << 30;
                for (size_t k = 0; k < 8; ++k) {
                    const int e = (v[0][k] - x) * (v[0][k] - x);
                    bestAny = std::min(bestAny, e);
                    if (x < cut ? v[1][k] < cut : v[0][k] >= cut) bestSide = std::min(bestSide, e);
                }
                if (bestSide == 1 << 30) ++s.crossings, bestSide = bestAny;
                s.error += bestSide;
                if (s.crossings > best.crossings || (s.crossings == best.crossings && s.error >= best.error)) break;
            }
            if (s.crossings < best.crossings || (s.crossings == best.crossings && s.error < best.error)) best = s;
        }
    return best;
}

}  // namespace

// BC7's best alpha, every pair of ends tried: crossings of the cut, then
// squared error.  On one line of sixteen steps (mode 6, ends of any eight
// bits), and on two lines of four steps (mode 7, ends of six bits) over every
// two-subset shape.
AlphaScore bestBc7Line(const std::vector<int>& alpha, int cut, int bits, int steps) {
    static constexpr int kWeights4[16] = {0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64};
    static constexpr int kWeights2[4] = {0, 21, 43, 64};
    const int* weights = steps == 16 ? kWeights4 : kWeights2;
    AlphaScore best{99, 1 << 30};
    for (int k0 = 0; k0 < (1 << bits); ++k0)
        for (int k1 = k0; k1 < (1 << bits); ++k1) {
            // Ends as the decoder widens them to eight bits.
            const int a0 = (k0 << (8 - bits)) | (k0 >> (2 * bits - 8)),
                      a1 = (k1 << (8 - bits)) | (k1 >> (2 * bits - 8));
            AlphaScore s;
            for (int x : alpha) {
                int bestSide = 1 << 30, bestAny = 1 << 30;
                for (int k = 0; k < steps; ++k) {
                    const int v = ((64 - weights[k]) * a0 + weights[k] * a1 + 32) >> 6, e = (v - x) * (v - x);
                    bestAny = std::min(bestAny, e);
                    if ((v < cut) == (x < cut)) bestSide = std::min(bestSide, e);
                }
                if (bestSide == 1 << 30) ++s.crossings, bestSide = bestAny;
                s.error += bestSide;
                if (s.crossings > best.crossings || (s.crossings == best.crossings && s.error >= best.error)) break;
            }
            if (s.crossings < best.crossings || (s.crossings == best.crossings && s.error < best.error)) best = s;
        }
    return best;
}

AlphaScore bestBc7(const std::array<int, 16>& alpha, int cut) {
    AlphaScore best = bestBc7Line(std::vector<int>(alpha.begin(), alpha.end()), cut, 8, 16);
    for (const auto& shape : b::bc7::kShapes2) {
        std::vector<int> subset[2];
        for (size_t i = 0; i < 16; ++i) subset[shape[i]].push_back(alpha[i]);
        const AlphaScore one = bestBc7Line(subset[0], cut, 6, 4), other = bestBc7Line(subset[1], cut, 6, 4);
        const AlphaScore s{one.crossings + other.crossings, one.error + other.error};
        if (s.crossings < best.crossings || (s.crossings == best.crossings && s.error < best.error)) best = s;
    }
    return best;
}

// Blocks from a fence's and a ramp's levels and blocks crowded around the
// cut: the coder carries no texel across the cut that the best block keeps,
// and comes near the best block's error.  BC7 (decoded by our decoder, which
// Pillow and OpenImageIO agree with) keeps the cut as well, and comes near
// the best alpha of its one-line mode and of its two-line mode over every
// shape, which it has among others.
TEST(AlphaFit, KeepsTheCutAndComesNearTheBestBlock) {
    std::vector<std::pair<std::array<int, 16>, int>> blocks;  // values, cut
    const Chain fence = chainOf(withAlpha(photoLike(128, 3), true), true);
    const Chain ramp = chainOf(withAlpha(photoLike(128, 4), false), false);
    // Wires three texels wide leave levels of a few values (0, 64, 191, 255
    // and the like) where one line of steps cannot give them all.
    const Chain wide = chainOf(withAlpha(photoLike(128, 5), true, 3), true);
    for (const Chain* chain : {&fence, &ramp, &wide})
        for (const quor::Image& level : *chain) {
            int taken = 0;
            for (int by = 0; by + 4 <= level.height && taken < 6; by += 4)
                for (int bx = 0; bx + 4 <= level.width && taken < 6; bx += 4) {
                    std::array<int, 16> a{};
                    int low = 0;
                    for (int i = 0; i < 16; ++i) {
                        a[size_t(i)] =
                            level.rgba[(size_t(by + i / 4) * size_t(level.width) + size_t(bx + i % 4)) * 4 + 3];
                        low += a[size_t(i)] < 128;
                    }
                    if (low == 0 || low == 16 || (bx / 4 + by / 4) % 3) continue;  // straddling blocks, spread out
                    blocks.push_back({a, 128});
                    ++taken;
                }
        }
    std::mt19937 random(5);
    for (int cut : {128, 100, 200})
        for (int k = 0; k < 6; ++k) {
            std::array<int, 16> a{};
            for (int& v : a) {
                const int pick = int(random() % 4);
                v = pick == 0 ? 0 : pick == 1 ? 255 : std::clamp(cut - 3 + int(random() % 6), 0, 255);
            }
            blocks.push_back({a, cut});
        }
    ASSERT_GE(blocks.size(), 30u);

    double ours = 0, best = 0, bc7 = 0, bc7Best = 0;
    for (const auto& [alpha, cut] : blocks) {
        uint8_t texels[64], block[16], back[64];
        for (size_t i = 0; i < 16; ++i)
            texels[4 * i] = texels[4 * i + 1] = texels[4 * i + 2] = 90, texels[4 * i + 3] = uint8_t(alpha[i]);
        b::encodeBc7Block(texels, block, cut);
        b::decodeBc7Block(block, back);
        AlphaScore seven;
        for (size_t i = 0; i < 16; ++i) {
            const int d = back[4 * i + 3] - alpha[i];
            seven.crossings += (back[4 * i + 3] < cut) != (alpha[i] < cut);
            seven.error += d * d;
        }
        const AlphaScore least7 = bestBc7(alpha, cut);
        EXPECT_LE(seven.crossings, least7.crossings)
            << "BC7, cut " << cut << ", first values " << alpha[0] << " " << alpha[1];
        bc7 += seven.error;
        bc7Best += least7.error;

        uint8_t values[16], out[8];
        for (size_t i = 0; i < 16; ++i) values[i] = uint8_t(alpha[i]);
        b::fitAlpha(values, cut, out);
        std::array<int, 16> index{};
        uint64_t bits = 0;
        for (int k = 0; k < 6; ++k) bits |= uint64_t(out[2 + k]) << (8 * k);
        for (size_t i = 0; i < 16; ++i) index[i] = int((bits >> (3 * i)) & 7);
        const AlphaScore got = scoreAlpha(alpha, out[0], out[1], index, cut), least = bestAlpha(alpha, cut);
        EXPECT_EQ(got.crossings, least.crossings) << "cut " << cut << ", first values " << alpha[0] << " " << alpha[1];
        EXPECT_LE(got.error, least.error * 2 + 16) << "cut " << cut << ", first values " << alpha[0] << " " << alpha[1];
        ours += got.error;
        best += least.error;
    }
    EXPECT_LE(ours, best * 1.2 + 16);
    EXPECT_LE(bc7, bc7Best * 1.2 + 16) << "BC7 " << bc7 << ", the best of one and two lines " << bc7Best;
}

// BC3 of a fence whose levels keep its coverage, and of a ramp: every
// level's coverage within a point of the level's own, and alpha no further
// off than libsquish's.  BC7 keeps the coverage too, its alpha comes no
// further off than our BC3's, and its colour not far below.  Wires three
// texels wide halve to levels of a few values (0, 64, 191, 255) that BC3
// gives exactly, with 0 and 255 beside six steps of its own, and no BC7
// mode can without flattening the colour the same indices carry: there
// BC7's alpha may come about a fifth further off than BC3's on the painting.
TEST(AlphaFit, KeepsEveryLevelsCoverageAndBeatsSquish) {
    struct Case {
        const char* name;
        Chain chain;
        double bc7OverBc3;
    };
    const Case cases[] = {{"fence", chainOf(withAlpha(photoLike(256, 8), true), true), 1},
                          {"painted fence", chainOf(withAlpha(livery(256, 9), true), true), 1},
                          {"ramp", chainOf(withAlpha(photoLike(256, 10), false), false), 1},
                          {"thick fence", chainOf(withAlpha(photoLike(256, 11), true, 3), true), 1},
                          {"thick painted fence", chainOf(withAlpha(livery(256, 12), true, 3), true), 1.22}};
    for (const Case& c : cases) {
        const Scores bc3 = score(c.chain, b::Format::Bc3, ours(b::Format::Bc3));
        const Scores squish = score(c.chain, b::Format::Bc3, squishing(squish::kDxt5 | squish::kColourClusterFit));
        const Scores bc7 = score(c.chain, b::Format::Bc7, ours(b::Format::Bc7));
        EXPECT_LE(bc3.alphaError, squish.alphaError) << c.name;
        EXPECT_LE(bc7.alphaError, bc3.alphaError * c.bc7OverBc3)
            << c.name << ": BC7 " << bc7.alphaError << ", BC3 " << bc3.alphaError;
        // BC7 shares its bits between colour and alpha where BC3 keeps them
        // apart, but alpha is not bought with colour: within 4 dB of BC3's.
        EXPECT_GE(bc7.psnr, bc3.psnr - 4) << c.name << ": BC7 " << bc7.psnr << " dB, BC3 " << bc3.psnr;
        for (size_t level = 0; level < c.chain.size(); ++level) {
            const double source = coverageOf(c.chain[level].rgba);
            EXPECT_NEAR(bc3.coverage[level], source, 1.0) << c.name << ", BC3, level " << level;
            EXPECT_NEAR(bc7.coverage[level], source, 1.0) << c.name << ", BC7, level " << level;
        }
    }
}

// Over whole chains of painted and photo-like pictures, BC1 comes within a
// tenth of a decibel of libsquish's cluster fit, and BC7 well above BC1: 6 dB
// on the painting; on the photo-like picture, whose grain is white noise
// that no block format follows, 3 (real photographs gain 7 to 9, as
// bench/dds shows).
TEST(Bc1AndBc7, MatchSquishsClusterFitAndBeatBc1) {
    struct Case {
        const char* name;
        Chain chain;
        double bc7Gain;
    };
    const Case cases[] = {{"livery", chainOf(livery(256, 11), false), 6},
                          {"photo-like", chainOf(photoLike(256, 12), false), 3}};
    for (const Case& c : cases) {
        const double bc1 = score(c.chain, b::Format::Bc1, ours(b::Format::Bc1)).psnr;
        const double squish = score(c.chain, b::Format::Bc1, squishing(squish::kDxt1 | squish::kColourClusterFit)).psnr;
        const double bc7 = score(c.chain, b::Format::Bc7, ours(b::Format::Bc7)).psnr;
        EXPECT_GE(bc1, squish - 0.1) << c.name;
        EXPECT_GE(bc7, bc1 + c.bc7Gain) << c.name;
    }
}

// Blocks whose texels lie along a line between two far apart colours,
// bunched at a few places on it with a little grain: what the cluster search
// is for, as the first fit's ends at the extremes seldom suit uneven bunches.
// Over them all the error comes within a quarter of libsquish's cluster fit,
// which tries every split of the texels' order (the first fit alone is
// nearly 30% above it).
TEST(Bc1, BunchedBlocksComeNearSquishsClusterFit) {
    std::mt19937 random(31);
    const auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    Bytes texels;
    const size_t count = 1600;
    for (size_t k = 0; k < count; ++k) {
        int ends[2][3];
        for (int c = 0; c < 3; ++c) {
            ends[0][c] = uniform(0, 255);
            ends[1][c] = 255 - ends[0][c];
        }
        const int bunches = uniform(2, 4);
        int at[4];
        for (int& a : at) a = uniform(0, 64);
        for (int i = 0; i < 16; ++i) {
            const int t = at[uniform(0, bunches - 1)];
            for (int c = 0; c < 3; ++c)
                texels.push_back(
                    uint8_t(std::clamp(ends[0][c] + (ends[1][c] - ends[0][c]) * t / 64 + uniform(-2, 2), 0, 255)));
            texels.push_back(255);
        }
    }
    Bytes ourBlocks(8 * count);
    b::fitColours(texels.data(), count, ourBlocks.data(), 8);
    double oursError = 0, squishError = 0;
    for (size_t k = 0; k < count; ++k) {
        const uint8_t* block = texels.data() + 64 * k;
        uint8_t theirs[8], mine[64], back[64];
        squish::Compress(block, theirs, squish::kDxt1 | squish::kColourClusterFit);
        b::decodeBlock(b::Format::Bc1, ourBlocks.data() + 8 * k, mine);
        b::decodeBlock(b::Format::Bc1, theirs, back);
        for (int i = 0; i < 64; ++i) {
            if (i % 4 == 3) continue;
            oursError += std::pow(double(mine[i]) - block[i], 2);
            squishError += std::pow(double(back[i]) - block[i], 2);
        }
    }
    EXPECT_LE(oursError, 1.24 * squishError);
}

// Blocks decoded from real three-colour blocks (a transparent texel or more
// among them): the texels below the cut come back transparent, the others
// opaque, and most blocks come back exactly.  Blocks with nothing below the
// cut keep the four-colour form.
TEST(Bc1Alpha, CutOutTexelsComeBackTransparentAndTheRestExact) {
    std::mt19937 random(3);
    int exact = 0, total = 0;
    for (int k = 0; k < 300; ++k) {
        uint8_t made[8];
        for (uint8_t& byte : made) byte = uint8_t(random());
        const unsigned c0 = made[0] | made[1] << 8, c1 = made[2] | made[3] << 8;
        if (c0 > c1) std::swap(made[0], made[2]), std::swap(made[1], made[3]);  // three colours
        const bool opaqueCase = k % 5 == 0;
        if (opaqueCase)  // no index 3: each 3 becomes a 2
            for (int i = 0; i < 4; ++i) made[4 + i] &= uint8_t(~(made[4 + i] & made[4 + i] >> 1 & 0x55));
        uint8_t texels[64];
        b::decodeBlock(b::Format::Bc1, made, texels);
        // Alpha on the cut's edges: 0 stays 0 and 255 becomes 128, so the cut matters.
        for (int i = 0; i < 16; ++i) texels[4 * i + 3] = texels[4 * i + 3] ? 128 : 0;
        b::Options o;
        o.bc1Alpha = true;
        uint8_t encoded[8], back[64];
        b::encodeBlock(b::Format::Bc1, texels, encoded, o);
        b::decodeBlock(b::Format::Bc1, encoded, back);
        bool same = true;
        bool anyLow = false;
        for (int i = 0; i < 16; ++i) {
            const bool low = texels[4 * i + 3] < 128;
            anyLow |= low;
            EXPECT_EQ(back[4 * i + 3], low ? 0 : 255) << "block " << k << ", texel " << i;
            if (!low)
                for (int c = 0; c < 3; ++c) same &= std::abs(int(back[4 * i + c]) - int(texels[4 * i + c])) <= 1;
        }
        if (!anyLow) {
            EXPECT_GE(encoded[0] | encoded[1] << 8, encoded[2] | encoded[3] << 8) << "block " << k;
            continue;
        }
        exact += same;
        ++total;
    }
    ASSERT_GT(total, 100);
    EXPECT_GE(exact, total * 9 / 10);
}

// The coders built for plain x86-64 alone write what the library (with its
// vector clone where the processor has one) writes, on every kind of block.
TEST(BlockCoders, EveryBuildWritesTheSameBytes) {
    Bytes texels;
    const auto gather = [&](const quor::Image& picture) {
        for (int by = 0; by < picture.height; by += 4)
            for (int bx = 0; bx < picture.width; bx += 4)
                for (int y = 0; y < 4; ++y)
                    texels.insert(texels.end(),
                                  picture.rgba.begin() +
                                      std::ptrdiff_t((size_t(by + y) * size_t(picture.width) + size_t(bx)) * 4),
                                  picture.rgba.begin() +
                                      std::ptrdiff_t((size_t(by + y) * size_t(picture.width) + size_t(bx) + 4) * 4));
    };
    gather(livery(64, 21));
    gather(withAlpha(photoLike(64, 22), true));
    gather(chainOf(withAlpha(photoLike(64, 23), false), false)[1]);
    std::mt19937 random(24);
    for (int k = 0; k < 64 * 20; ++k) texels.push_back(uint8_t(random()));
    const size_t count = texels.size() / 64;

    Bytes expected(count * 32);
    b::fitColours(texels.data(), count, expected.data(), 8);
    for (size_t k = 0; k < count; ++k) {
        uint8_t values[16];
        for (size_t i = 0; i < 16; ++i) values[i] = texels[64 * k + 4 * i + 3];
        b::fitAlpha(values, 128, expected.data() + 8 * count + 8 * k);
        b::encodeBc7Block(texels.data() + 64 * k, expected.data() + 16 * count + 16 * k);
    }

    Scratch scratch;
    const fs::path in = scratch.dir / "blocks", out = scratch.dir / "plain";
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(texels.data()), std::streamsize(texels.size()));
    ASSERT_EQ(
        std::system(("'" + std::string(BLOCKCODERS_PLAIN) + "' '" + in.string() + "' '" + out.string() + "'").c_str()),
        0);
    const Bytes plain = readFile(out);
    ASSERT_EQ(plain.size(), expected.size());
    const char* parts[] = {"BC1 colour", "BC3 alpha", "BC7"};
    const size_t starts[] = {0, 8 * count, 16 * count, 32 * count};
    for (int part = 0; part < 3; ++part)
        EXPECT_TRUE(std::equal(plain.begin() + std::ptrdiff_t(starts[part]),
                               plain.begin() + std::ptrdiff_t(starts[part + 1]),
                               expected.begin() + std::ptrdiff_t(starts[part])))
            << parts[part] << " differs between the builds";
}
