// The texture tool's conversion on arbitrary bytes, to every depth it
// writes: a conversion that succeeds must produce a file the tool itself
// verifies as a complete set of that depth and edge.
#include "fuzz_support.h"
#include "xbmconvert.h"

namespace {

// A 512 set at 32 bits is about 1.4 MB.
constexpr size_t kMaxInput = size_t(2) << 20;

constexpr corvane::SetDepth kTargets[] = {corvane::SetDepth::Rgb565, corvane::SetDepth::Argb4444,
                                          corvane::SetDepth::Argb32, corvane::SetDepth::Palette8};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) return 0;
    const xbm::Bytes source(data, data + size);

    const xbm::ReadResult read = xbm::readXbm(source);
    if (!read.set) {
        fuzz::consume(read.error.size());
        return 0;
    }
    fuzz::consume(xbm::describe(*read.set).size());

    for (const corvane::SetDepth target : kTargets) {
        xbm::ConvertOptions options;
        options.depth = target;
        const xbm::ConvertResult result = xbm::convertBytes(source, options);
        if (!result.error.empty()) {
            fuzz::require(result.bytes.empty(), "a failed conversion returned bytes");
            fuzz::consume(result.error.size());
            continue;
        }
        fuzz::require(result.edge == read.set->edge, "the conversion changed the edge");
        if (const auto problem = xbm::verifyWritten(result.bytes, target, result.edge)) {
            std::fprintf(stderr, "%s\n", problem->c_str());
            fuzz::require(false, "a converted set does not verify");
        }
        fuzz::consume(result.bytes);
    }
    return 0;
}
