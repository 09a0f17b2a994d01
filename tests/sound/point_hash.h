// The hash by which sf2_fixtures' expectations and a reader's listing name sample points:
// both sides must compute it alike, so they share this one.
#pragma once

#include <cstdint>
#include <span>

namespace karvo::test {

// FNV-1a over the points as 16-bit little-endian bytes.
inline uint32_t fnv1a(std::span<const int16_t> points) {
    uint32_t hash = 2166136261u;
    for (int16_t p : points) {
        const auto u = static_cast<uint16_t>(p);
        for (uint8_t byte : {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8)}) {
            hash = (hash ^ byte) * 16777619u;
        }
    }
    return hash;
}

}   // namespace karvo::test
