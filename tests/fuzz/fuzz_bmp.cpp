// Our BMP codec on arbitrary bytes: whatever it accepts must make a
// consistent picture, and writing that picture and reading it back must
// give the same pixels.
#include "fuzz_support.h"
#include "image.h"

#include <cstring>

namespace {

// Twice the largest Extended Bitmap (512, 32-bit); longer inputs only slow
// the search down.
constexpr size_t kMaxInput = size_t(3) << 20;

void checkShape(const quor::Image& image) {
    fuzz::require(
        image.width > 0 && image.height > 0 && image.width <= quor::kMaxEdge && image.height <= quor::kMaxEdge,
        "accepted picture has an impossible size");
    fuzz::require(image.rgba.size() == image.pixelCount() * 4, "pixel buffer does not match the size");
    fuzz::require(!image.indexed || image.indices.size() == image.pixelCount(), "index buffer does not match the size");
}

void roundTrip24(const quor::Image& image) {
    const std::vector<uint8_t> bytes = quor::encodeBmp24(image);
    quor::Image again;
    fuzz::require(quor::readBmp(bytes.data(), bytes.size(), again) == quor::BmpRead::Ok,
                  "a 24-bit BMP we wrote does not read back");
    fuzz::require(again.width == image.width && again.height == image.height, "24-bit round trip changed the size");
    for (size_t i = 0; i < image.rgba.size(); i += 4)
        fuzz::require(std::memcmp(&image.rgba[i], &again.rgba[i], 3) == 0 && again.rgba[i + 3] == 255,
                      "24-bit round trip changed a pixel");
    fuzz::consume(bytes);
}

void roundTrip8(const quor::Image& image) {
    const std::vector<uint8_t> bytes = quor::encodeBmp8(image);
    quor::Image again;
    fuzz::require(quor::readBmp(bytes.data(), bytes.size(), again) == quor::BmpRead::Ok,
                  "an 8-bit BMP we wrote does not read back");
    fuzz::require(again.indexed && again.indices == image.indices && again.palette == image.palette,
                  "8-bit round trip changed the indices or the palette");
    fuzz::require(again.rgba == image.rgba, "8-bit round trip changed the colours");
    quor::Palette palette{};
    fuzz::require(quor::readBmpPalette(bytes.data(), bytes.size(), palette) && palette == image.palette,
                  "the palette of an 8-bit BMP we wrote does not read back");
    fuzz::consume(bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) return 0;

    quor::Palette palette{};
    if (quor::readBmpPalette(data, size, palette)) fuzz::consume(&palette[0].blue, sizeof palette);

    quor::Image image;
    quor::Failure why;
    const quor::BmpRead result = quor::readBmp(data, size, image, &why);
    fuzz::consume(uint64_t(result) + why.text.size());
    if (result != quor::BmpRead::Ok) return 0;

    checkShape(image);
    fuzz::consume(image.rgba);
    roundTrip24(image);
    if (image.indexed) roundTrip8(image);
    return 0;
}
