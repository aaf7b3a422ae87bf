// Reduces a picture to 256 colours with the library's _anyto256 and prints how
// close the result stays to the source (PSNR over R, G and B, in dB), beside
// the same figure for any other reductions of that source given after it.
//
//   quantize_psnr SOURCE.bmp [--out OUT.bmp] [OTHER...]
//
// Prints "anyto256 DB", then "OTHER DB" for each other file.  Other files
// that are not BMP files (a PNG, say) are read through the library first.
#include "bmpfile.h"
#include "quorimg.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace corvane::bench;

namespace {

std::optional<Picture> load(const std::string& path) {
    auto file = readBmp(path);
    if (!file) return std::nullopt;
    return file->plain();
}

bool isBmp(const std::string& path) {
    std::string ext = fs::path(path).extension().string();
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".bmp";
}

int fail(const std::string& why) {
    std::fprintf(stderr, "quantize_psnr: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string source, out;
    std::vector<std::string> others;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--out" && i + 1 < argc) out = argv[++i];
        else if (source.empty()) source = a;
        else others.push_back(a);
    }
    if (source.empty()) return fail("usage: quantize_psnr SOURCE.bmp [--out OUT.bmp] [OTHER...]");

    const auto original = load(source);
    if (!original) return fail("cannot read " + source);

    const fs::path scratch = fs::temp_directory_path() / ("quantize_psnr-" + std::to_string(getpid()));
    fs::create_directories(scratch);
    const std::string quantized = out.empty() ? (scratch / "anyto256.bmp").string() : out;
    QuorContext ctx{};
    int status = 0;
    if (!_anyto256(source.c_str(), quantized.c_str(), &ctx, 0, 0)) {
        status = fail("_anyto256 failed on " + source);
    } else if (auto q = load(quantized); !q) {
        status = fail("cannot read the reduced picture");
    } else if (auto db = psnr(*original, *q)) {
        std::printf("anyto256 %.4f\n", *db);
    } else {
        status = fail("the reduced picture has another size");
    }

    for (const std::string& other : others) {
        std::string readable = other;
        if (!isBmp(other)) {
            readable = (scratch / "other.bmp").string();
            if (!_anytobmps(other.c_str(), readable.c_str(), &ctx, 0, 0)) {
                status = fail("cannot decode " + other);
                continue;
            }
        }
        const auto p = load(readable);
        const auto db = p ? psnr(*original, *p) : std::nullopt;
        if (!db) {
            status = fail("cannot compare " + other);
            continue;
        }
        std::printf("%s %.4f\n", other.c_str(), *db);
    }
    std::error_code ec;
    fs::remove_all(scratch, ec);
    return status;
}
