// One MTrk chunk built in memory by the object that owns it, so that its length is
// known before it is written; and the MThd header that comes before the chunks.
//
//   MThd chunk:  +0 "MThd"  +4 length 6  +8 format  +10 chunk count  +12 ticks per quarter
//   MTrk chunk:  +0 "MTrk"  +4 length (be32, filled in at the end)  +8 events
//   event:       delta (variable-length quantity), status + channel, data bytes
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace karvo {

constexpr size_t MIDI_HEADER_SIZE = 14;
constexpr uint8_t TICKS_PER_QUARTER = 48;

// The MThd chunk: format 1, 48 ticks per quarter note, trackCount chunks.
std::array<uint8_t, MIDI_HEADER_SIZE> midiHeaderChunk(int trackCount);

// A 32-bit value takes at most five 7-bit groups.
constexpr size_t MAX_VARIABLE_LENGTH_SIZE = 5;

// Writes value as a variable-length quantity, the most significant 7-bit group first
// and bit 7 set on every byte but the last; returns the bytes written, 1 to 5.
size_t writeVariableLength(uint8_t* out, uint32_t value);

// The chunk under construction and its clock. Time moves only by wait(); every event
// lands at the ticks waited since the event before it.
class MidiTrack {
public:
    // Starts a new chunk whose channel messages carry channel, with no ticks pending.
    void begin(uint8_t channel);
    // Appends the end-of-track event with a delta of 0 (ticks still pending are
    // dropped) and fills in the chunk length.
    void end();

    void wait(uint32_t ticks) { m_pending += ticks; }
    // One pending tick fewer, if any is pending.
    void takeBackTick() { m_pending -= m_pending != 0 ? 1 : 0; }
    uint32_t pendingTicks() const { return m_pending; }

    // A channel message now: the status nibble gets the channel.
    void event(uint8_t status, uint8_t data) {
        uint8_t* p = eventStart();
        p[0] = static_cast<uint8_t>(status | m_channel);
        p[1] = data;
        m_size = static_cast<uint32_t>(p + 2 - m_bytes.get());
    }
    void event(uint8_t status, uint8_t data1, uint8_t data2) {
        uint8_t* p = eventStart();
        p[0] = static_cast<uint8_t>(status | m_channel);
        p[1] = data1;
        p[2] = data2;
        m_size = static_cast<uint32_t>(p + 3 - m_bytes.get());
    }
    // A meta event now: FF, type, the length as a variable-length quantity, data.
    void meta(uint8_t type, std::span<const uint8_t> data);

    // The messages the conversion writes, by name.
    void noteOn(uint8_t key, uint8_t velocity) { event(0x90, key, velocity); }
    void noteOff(uint8_t key, uint8_t velocity) { event(0x80, key, velocity); }
    void controller(uint8_t number, uint8_t value) { event(0xB0, number, value); }
    void programChange(uint8_t program) { event(0xC0, program); }
    // value 0 to 3FFF, centre 2000
    void pitchBend(uint32_t value) {
        event(0xE0, static_cast<uint8_t>(value & 0x7F), static_cast<uint8_t>((value >> 7) & 0x7F));
    }
    void tempo(uint32_t microsecondsPerQuarter) {
        const uint8_t bytes[3] = {static_cast<uint8_t>(microsecondsPerQuarter >> 16),
                                  static_cast<uint8_t>(microsecondsPerQuarter >> 8),
                                  static_cast<uint8_t>(microsecondsPerQuarter)};
        meta(0x51, bytes);
    }
    void sequenceName(std::span<const uint8_t> text) { meta(0x03, text); }

    // The chunk as written so far; whole after end().
    std::span<const uint8_t> bytes() const { return {m_bytes.get(), m_size}; }
    uint32_t size() const { return m_size; }

private:
    // Room for the longest delta and channel message, kept free behind every event.
    static constexpr uint32_t EVENT_ROOM = 16;

    // Writes the pending delta, clears it and returns where the event's bytes go.
    uint8_t* eventStart() {
        if (m_capacity - m_size < EVENT_ROOM) {
            grow(EVENT_ROOM);
        }
        uint8_t* p = m_bytes.get() + m_size;
        if (m_pending < 0x80) {   // nearly every delta
            *p = static_cast<uint8_t>(m_pending);
            m_pending = 0;
            return p + 1;
        }
        p += writeVariableLength(p, m_pending);
        m_pending = 0;
        return p;
    }
    // Makes room for at least n more bytes.
    void grow(uint32_t n);

    std::unique_ptr<uint8_t[]> m_bytes;   // m_capacity bytes, of which m_size are written
    uint32_t m_capacity = 0;
    uint32_t m_size = 0;
    uint32_t m_pending = 0;               // ticks since the last event written
    uint8_t m_channel = 0;
};

}  // namespace karvo
