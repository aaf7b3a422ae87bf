// One channel of a texel whose channels are named by bit masks (BMP bit
// fields, uncompressed DDS files): where the mask sits, and its value
// widened to 8 bits, rounded to the nearest.
#pragma once

#include <bit>
#include <cstdint>

namespace quor {

class MaskField {
public:
    constexpr MaskField() = default;
    constexpr explicit MaskField(uint32_t mask) : mask_(mask) {
        if (mask == 0) return;
        shift_ = std::countr_zero(mask);
        top_ = mask >> shift_;
    }

    constexpr uint32_t mask() const { return mask_; }
    constexpr bool present() const { return top_ != 0; }
    // The channel of `texel` on 0..255; `absent` when there is no mask.
    constexpr uint8_t widen(uint32_t texel, uint8_t absent = 0) const {
        if (top_ == 0) return absent;
        const uint64_t v = (texel & mask_) >> shift_;
        return uint8_t((v * 255 + top_ / 2) / top_);
    }

private:
    uint32_t mask_ = 0;
    int shift_ = 0;
    uint32_t top_ = 0;  // the mask's largest value
};

}  // namespace quor
