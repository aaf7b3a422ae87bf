// Transparency maps (.mpt) on arbitrary bytes: whatever is read must save
// and read back to the same levels.
#include "fuzz_support.h"
#include "transparency.h"

#include <QString>

namespace {
// A map is 256 bytes; anything past that is ignored, so long inputs only
// waste the run.
constexpr size_t kMaxInput = 4096;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) return 0;
    static const QString input = QString::fromStdString(fuzz::scratchPath("input.mpt"));
    static const QString again = QString::fromStdString(fuzz::scratchPath("again.mpt"));
    fuzz::writeFile(input.toStdString(), data, size);

    corvane::LevelTable levels;
    corvane::allOpaque(levels);
    const corvane::MapResult read = corvane::loadMap(input, levels);
    fuzz::require(read.outcome.ok, "an existing map could not be read");
    fuzz::require(read.bytesRead == int(std::min<size_t>(size, 256)), "the map read a wrong number of bytes");
    fuzz::require(read.shortNote.isEmpty() == (size >= 256),
                  "a short map went unreported, or a full one was called short");
    for (size_t i = 0; i < 256; ++i) fuzz::require(levels[i] == (i < size ? data[i] : 255), "a level was read wrongly");

    fuzz::require(corvane::saveMap(again, levels).ok, "a map that was read could not be saved");
    corvane::LevelTable back;
    corvane::allTo(back, 0);
    fuzz::require(corvane::loadMap(again, back).bytesRead == 256 && back == levels,
                  "a saved map read back differently");
    fuzz::consume(uint64_t(read.shortNote.size()) + uint64_t(back[size % 256]));
    return 0;
}
