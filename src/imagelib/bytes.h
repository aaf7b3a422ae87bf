// Little-endian fields of the file formats the program reads and writes
// (BMP, the Extended Bitmap, DDS, Targa): the one place that assembles and
// splits their bytes.  The pointer forms leave bounds to the caller; the
// `within` form never reads past the end of its buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor::le {

// `count` bytes (1 to 4) at `p`, lowest first.
inline uint32_t read(const uint8_t* p, int count) {
    uint32_t value = 0;
    for (int k = 0; k < count; ++k) value |= uint32_t(p[k]) << (8 * k);
    return value;
}

inline uint16_t u16(const uint8_t* p) { return uint16_t(read(p, 2)); }
inline uint32_t u32(const uint8_t* p) { return read(p, 4); }
inline int32_t i32(const uint8_t* p) { return int32_t(u32(p)); }

// `count` bytes at `at` of a buffer of `size` bytes; those past its end read as 0.
inline uint32_t within(const uint8_t* data, size_t size, size_t at, int count) {
    uint32_t value = 0;
    for (int k = 0; k < count; ++k)
        if (at < size && size_t(k) < size - at) value |= uint32_t(data[at + size_t(k)]) << (8 * k);
    return value;
}

// The low `count` bytes (1 to 4) of `value` at `p`, lowest first.
inline void write(uint8_t* p, uint32_t value, int count) {
    for (int k = 0; k < count; ++k) p[k] = uint8_t(value >> (8 * k));
}

inline void put16(uint8_t* p, uint16_t v) { write(p, v, 2); }
inline void put32(uint8_t* p, uint32_t v) { write(p, v, 4); }

}  // namespace quor::le
