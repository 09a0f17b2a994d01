// A strict walk over a whole MIDI file's framing, written apart from the writer: the
// fuzzers and the hostile-input tests use it on every file a run leaves behind.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace karvo::test {

// nullptr when bytes are a format-1 file with 48 ticks per quarter note whose
// declared track count equals its number of MTrk chunks, whose chunk lengths add up
// to the file's length, and whose every chunk ends with the end-of-track event;
// otherwise what is wrong.
inline const char* midiShapeFault(const std::vector<uint8_t>& bytes) {
    auto be = [&](size_t at, int n) {
        uint32_t v = 0;
        for (int k = 0; k < n; ++k) {
            v = (v << 8) | bytes[at + static_cast<size_t>(k)];
        }
        return v;
    };
    if (bytes.size() < 14 || std::memcmp(bytes.data(), "MThd", 4) != 0 || be(4, 4) != 6) {
        return "no MThd header";
    }
    if (be(8, 2) != 1 || be(12, 2) != 48) {
        return "not format 1 with 48 ticks per quarter note";
    }
    const uint32_t declared = be(10, 2);
    uint32_t chunks = 0;
    size_t at = 14;
    while (at < bytes.size()) {
        if (bytes.size() - at < 8 || std::memcmp(&bytes[at], "MTrk", 4) != 0) {
            return "bytes after the last chunk that are not an MTrk chunk";
        }
        const uint32_t length = be(at + 4, 4);
        at += 8;
        if (length > bytes.size() - at) {
            return "chunk length beyond the end of the file";
        }
        if (length < 3 || be(at + length - 3, 3) != 0xFF2F00) {
            return "chunk does not end with the end-of-track event";
        }
        at += length;
        ++chunks;
    }
    return chunks == declared ? nullptr : "declared track count differs from the chunks";
}

}  // namespace karvo::test
