// Big-endian helpers: every multi-byte value of MDX, SMF and bank data goes through these.
#pragma once

#include <cstdint>

namespace karvo {

inline uint16_t readBe16(const uint8_t* p) {
    return static_cast<uint16_t>((uint32_t(p[0]) << 8) | uint32_t(p[1]));
}

inline uint32_t readBe32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void writeBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

}   // namespace karvo
