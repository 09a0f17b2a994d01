// What the MIDI file's FM tracks play with each voice: every program they select, the
// keys each plays, and the longest each key is held, in seconds at the file's tempo.
// Read back from the tracks' MIDI chunks once the whole file is converted, since a
// tempo change in any track moves the time of every other.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "fm_instrument.h"

namespace karvo {

class VoiceUse {
public:
    // Keeps a copy of a converted chunk; fm marks the FM tracks' ones, whose notes count.
    // Every chunk's tempo changes count.
    void addChunk(std::span<const uint8_t> chunk, bool fm);

    // Each selected program, lowest first, with its keys.
    std::map<uint8_t, std::vector<FmKeyUse>> programs() const;

private:
    struct Chunk {
        std::vector<uint8_t> bytes;
        bool fm;
    };
    std::vector<Chunk> m_chunks;
};

}   // namespace karvo
