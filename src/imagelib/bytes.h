// Little-endian field access for the file formats the library reads and
// writes.  Callers check bounds; these only assemble and split the bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor::le {

inline uint16_t u16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

inline uint32_t u32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline int32_t i32(const uint8_t* p) { return int32_t(u32(p)); }

inline void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

inline void put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

}  // namespace quor::le
