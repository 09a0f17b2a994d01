// The one walk over MIDI framing in the tests, written apart from the writer: the
// chunks of a file, and a strict check of a whole file that the fuzzers and the
// hostile-input tests run on every MIDI file a run leaves behind.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace karvo::test {

inline uint32_t bigEndian(const std::vector<uint8_t>& bytes, size_t at, int n) {
    uint32_t v = 0;
    for (int k = 0; k < n; ++k) {
        v = (v << 8) | bytes[at + static_cast<size_t>(k)];
    }
    return v;
}

// The chunks of a MIDI file (or a lone chunk), header included, walked by their
// lengths; empty when they do not tile the bytes exactly.
inline std::vector<std::vector<uint8_t>> chunks(const std::vector<uint8_t>& bytes) {
    std::vector<std::vector<uint8_t>> out;
    size_t at = 0;
    while (bytes.size() - at >= 8) {
        const uint32_t length = bigEndian(bytes, at + 4, 4);
        if (length > bytes.size() - at - 8) {
            return {};
        }
        out.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                         bytes.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
        at += 8 + length;
    }
    return at == bytes.size() ? out : std::vector<std::vector<uint8_t>>{};
}

// nullptr when chunk is an MTrk chunk that ends with the end-of-track event;
// otherwise what is wrong.
inline const char* trackChunkFault(const std::vector<uint8_t>& chunk) {
    if (chunk.size() < 8 || std::memcmp(chunk.data(), "MTrk", 4) != 0) {
        return "not an MTrk chunk";
    }
    if (bigEndian(chunk, 4, 4) != chunk.size() - 8) {
        return "chunk length differs from its bytes";
    }
    if (chunk.size() < 11 || bigEndian(chunk, chunk.size() - 3, 3) != 0xFF2F00) {
        return "chunk does not end with the end-of-track event";
    }
    return nullptr;
}

// nullptr when bytes are a format-1 file with 48 ticks per quarter note whose
// declared track count equals its number of MTrk chunks, whose chunk lengths add up
// to the file's length, and whose every chunk ends with the end-of-track event;
// otherwise what is wrong.
inline const char* midiShapeFault(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 14 || std::memcmp(bytes.data(), "MThd", 4) != 0 || bigEndian(bytes, 4, 4) != 6) {
        return "no MThd header";
    }
    if (bigEndian(bytes, 8, 2) != 1 || bigEndian(bytes, 12, 2) != 48) {
        return "not format 1 with 48 ticks per quarter note";
    }
    const auto all = chunks(bytes);
    if (all.empty()) {
        return "chunk lengths do not add up to the file";
    }
    for (size_t k = 1; k < all.size(); ++k) {
        if (const char* fault = trackChunkFault(all[k])) {
            return fault;
        }
    }
    return all.size() - 1 == bigEndian(bytes, 10, 2) ? nullptr
                                                     : "declared track count differs from the chunks";
}

}   // namespace karvo::test
