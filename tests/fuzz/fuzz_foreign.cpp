// Every decoder behind the general reader, through one target: the first
// byte picks a file name extension from the library's own format table (the
// extension decides Targa and raw R8 textures), the rest is the file.
#include "fuzz_support.h"
#include "image.h"
#include "quorimg.h"

#include <cstdlib>
#include <string_view>

namespace {

// The decoders are slow on large inputs and the formats' headers are where
// the trouble lies; a megabyte leaves room for a raw texture and more.
constexpr size_t kMaxInput = size_t(1) << 20;

std::vector<std::string> extensions() {
    std::vector<std::string> out;
    for (int32_t n = 1; n <= _Pic_Count(); ++n) {
        std::string_view patterns = _Pic_Pattern(n);
        while (!patterns.empty()) {
            const size_t end = std::min(patterns.find(';'), patterns.size());
            const std::string_view one = patterns.substr(0, end);
            if (one.size() > 1 && one[0] == '*') out.emplace_back(one.substr(1));  // "*.png" -> ".png"
            patterns.remove_prefix(std::min(end + 1, patterns.size()));
        }
    }
    // And names that say nothing, so only the bytes decide.
    out.emplace_back(".bin");
    out.emplace_back("");
    return out;
}

const std::vector<std::string>& table() {
    static const std::vector<std::string> all = extensions();
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One decoding thread keeps runs repeatable and the timing honest; the
    // library's own deadline is shortened so a slow decoder is cut off well
    // before libFuzzer's -timeout would call it a hang.
    setenv("MAGICK_THREAD_LIMIT", "1", 0);
    setenv("OMP_NUM_THREADS", "1", 0);
    quor::setForeignDecodeTimeLimit(3000);
    fuzz::require(table().size() > 2, "the format table is empty");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > kMaxInput) return 0;
    const std::string& ext = table()[data[0] % table().size()];
    const std::string path = fuzz::scratchPath("input" + ext);
    fuzz::writeFile(path, data + 1, size - 1);

    int32_t pw = 0, ph = 0, pbpp = 0;
    const bool pinged = quor::pingForeign(path, pw, ph, pbpp);
    fuzz::consume(uint64_t(pinged) + uint64_t(pw) + uint64_t(ph) + uint64_t(pbpp));

    quor::Failure why;
    const std::optional<quor::Image> image = quor::decodeForeign(path, &why);
    fuzz::consume(why.text.size());
    if (!image) return 0;

    fuzz::require(
        image->width > 0 && image->height > 0 && image->width <= quor::kMaxEdge && image->height <= quor::kMaxEdge,
        "decoded picture has an impossible size");
    fuzz::require(image->rgba.size() == image->pixelCount() * 4, "pixel buffer does not match the size");
    fuzz::require(!image->indexed || image->indices.size() == image->pixelCount(),
                  "index buffer does not match the size");
    fuzz::consume(image->rgba);
    if (image->indexed) fuzz::consume(image->indices);
    return 0;
}
