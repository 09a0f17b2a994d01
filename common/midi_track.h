// One MTrk chunk built in memory by the object that owns it, so that its length is
// known before it is written; and the MThd header that comes before the chunks.
//
//   MTrk chunk:  +0 "MTrk"  +4 length (be32, filled in at the end)  +8 events
//   event:       delta (variable-length quantity), status + channel, data bytes
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace karvo {

constexpr size_t HEADF_SIZE = 14;

// The MThd chunk: format 1, 48 ticks per quarter note, trackCount chunks.
std::array<uint8_t, HEADF_SIZE> HeadF(int trackCount);

class MidiTrack {
public:
    // "MTrk" and room for the length; Tpos = 8. Status bytes carry channel.
    void begin(uint8_t channel);
    // Appends the end-of-track event with a literal delta of 0 (pending ticks are
    // dropped) and fills in the chunk length.
    void end();

    // Splits value into 7-bit groups in Var, least significant first; returns the
    // index of the most significant group.
    int InttoVar(uint32_t value);
    // Appends NextOn as a variable-length quantity and clears it. Every event but
    // the end of track begins with this.
    void setCuVar() { setCuVar(room(0)); }

    // An event at the pending delta: a channel message whose status nibble gets the
    // channel, with one or two data bytes.
    void event(uint8_t status, uint8_t data) {
        uint8_t* p = setCuVar(room(2));
        p[0] = static_cast<uint8_t>(status | m_channel);
        p[1] = data;
        Tpos += 2;
    }
    void event(uint8_t status, uint8_t data1, uint8_t data2) {
        uint8_t* p = setCuVar(room(3));
        p[0] = static_cast<uint8_t>(status | m_channel);
        p[1] = data1;
        p[2] = data2;
        Tpos += 3;
    }
    // A meta event at the pending delta: FF, type, the length as a variable-length
    // quantity, data.
    void meta(uint8_t type, const uint8_t* data, uint32_t length);

    // The chunk: Tbuf[0] to Tbuf[Tpos - 1].
    const uint8_t* data() const { return Tbuf.get(); }

    std::unique_ptr<uint8_t[]> Tbuf;   // m_room bytes, of which Tpos are used; grows as needed
    uint32_t Tpos = 0;
    uint32_t NextOn = 0;         // ticks since the last event written
    uint8_t Var[16] = {};

private:
    // The longest delta a uint32_t takes.
    static constexpr uint32_t MAX_DELTA_SIZE = 5;

    // Makes room for a delta and n more bytes at Tpos, once per event.
    uint8_t* room(uint32_t n) {
        if (m_room - Tpos < MAX_DELTA_SIZE + n) {
            grow(MAX_DELTA_SIZE + n);
        }
        return Tbuf.get() + Tpos;
    }
    void grow(uint32_t n);

    // Writes NextOn at p == Tbuf + Tpos, clears it and returns where the event goes.
    uint8_t* setCuVar(uint8_t* p) {
        if (NextOn < 0x80) {   // nearly every delta
            *p = static_cast<uint8_t>(NextOn);
            ++Tpos;
            NextOn = 0;
            return p + 1;
        }
        for (int i = InttoVar(NextOn); i >= 0; --i) {
            *p++ = Var[i];
            ++Tpos;
        }
        NextOn = 0;
        return p;
    }

    uint32_t m_room = 0;
    uint8_t m_channel = 0;
};

}  // namespace karvo
