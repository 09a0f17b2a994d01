// The chunk's framing and the delta encoding; the appends are inline in the header.
#include "midi_track.h"

#include <cstring>
#include <new>

#include "bytes.h"

namespace karvo {

std::array<uint8_t, HEADF_SIZE> HeadF(int trackCount) {
    return {
        'M', 'T', 'h', 'd',
        0x00, 0x00, 0x00, 0x06,                      // +4: header length
        0x00, 0x01,                                  // +8: format 1
        0x00, static_cast<uint8_t>(trackCount),      // +10: chunks that follow
        0x00, 0x30,                                  // +12: 48 ticks per quarter note
    };
}

int MidiTrack::InttoVar(uint32_t value) {
    int i = 0;
    for (;;) {
        Var[i] = static_cast<uint8_t>((value & 0x7F) | 0x80);
        if (value <= 0x7F) {
            break;
        }
        value >>= 7;
        ++i;
    }
    Var[0] &= 0x7F;
    return i;
}

// Only the used bytes are copied, and nothing is zeroed: every byte up to Tpos is
// written before it is read.
void MidiTrack::grow(uint32_t n) {
    uint64_t room = m_room == 0 ? 65536 : m_room;
    while (room - Tpos < n) {
        room *= 2;
    }
    if (room > UINT32_MAX) {
        throw std::bad_alloc();
    }
    auto bigger = std::make_unique_for_overwrite<uint8_t[]>(room);
    if (Tpos != 0) {
        std::memcpy(bigger.get(), Tbuf.get(), Tpos);
    }
    Tbuf = std::move(bigger);
    m_room = static_cast<uint32_t>(room);
}

void MidiTrack::begin(uint8_t channel) {
    m_channel = channel;
    Tpos = 0;
    static constexpr uint8_t MTRK[8] = {'M', 'T', 'r', 'k', 0, 0, 0, 0};   // +4: length, filled in at the end
    std::memcpy(room(sizeof MTRK), MTRK, sizeof MTRK);
    Tpos = sizeof MTRK;
}

void MidiTrack::meta(uint8_t type, const uint8_t* data, uint32_t length) {
    uint8_t* p = setCuVar(room(2 + MAX_DELTA_SIZE + length));
    *p++ = 0xFF;
    *p++ = type;
    Tpos += 2;
    for (int i = InttoVar(length); i >= 0; --i) {
        *p++ = Var[i];
        ++Tpos;
    }
    if (length != 0) {
        std::memcpy(p, data, length);
    }
    Tpos += length;
}

void MidiTrack::end() {
    static constexpr uint8_t END_OF_TRACK[4] = {0x00, 0xFF, 0x2F, 0x00};
    std::memcpy(room(sizeof END_OF_TRACK), END_OF_TRACK, sizeof END_OF_TRACK);
    Tpos += sizeof END_OF_TRACK;
    put_be32(&Tbuf[4], Tpos - 8);
}

}  // namespace karvo
