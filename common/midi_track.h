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

// The chunk. Its events are written through a Writer, which begin() hands out and
// end() takes back; between the two the chunk is the writer's alone.
class MidiTrack {
public:
    class Writer;

    // Starts a new chunk whose channel messages carry channel.
    Writer begin(uint8_t channel);
    // Appends the end-of-track event with a delta of 0 (ticks still pending are
    // dropped) and fills in the chunk length.
    void end(Writer& writer);

    // The chunk; whole after end().
    std::span<const uint8_t> bytes() const { return {m_bytes.get(), m_size}; }
    uint32_t size() const { return m_size; }

private:
    // Makes room for n bytes behind at, the writer's position; returns the position
    // in the new room.
    uint8_t* grow(uint8_t* at, uint32_t n);

    std::unique_ptr<uint8_t[]> m_bytes;   // m_capacity bytes, of which m_size are written
    uint32_t m_capacity = 0;
    uint32_t m_size = 0;
};

// The chunk's clock and its write position. Time moves only by wait(); every event
// lands at the ticks waited since the event before it. A writer is a small value,
// meant to be held in a local variable by a loop that writes many events, so that
// the compiler keeps it in registers.
class MidiTrack::Writer {
public:
    void wait(uint32_t ticks) { m_pending += ticks; }
    // One pending tick fewer, if any is pending.
    void takeBackTick() { m_pending -= m_pending != 0 ? 1 : 0; }
    uint32_t pendingTicks() const { return m_pending; }
    // The chunk's bytes so far.
    uint32_t size() const { return static_cast<uint32_t>(m_at - m_track->m_bytes.get()); }
    // Whether the chunk has reached the size a writer is told to stop at.
    void stopAt(uint32_t size) {
        m_stopSize = size;
        m_stop = m_track->m_bytes.get() + (size < m_track->m_capacity ? size : m_track->m_capacity);
    }
    bool full() const { return m_at >= m_stop && size() >= m_stopSize; }

    // A channel message now: the status nibble gets the channel.
    [[gnu::always_inline]] void event(uint8_t status, uint8_t data) {
        uint8_t* p = eventStart();
        p[0] = static_cast<uint8_t>(status | m_channel);
        p[1] = data;
        m_at = p + 2;
    }
    [[gnu::always_inline]] void event(uint8_t status, uint8_t data1, uint8_t data2) {
        uint8_t* p = eventStart();
        p[0] = static_cast<uint8_t>(status | m_channel);
        p[1] = data1;
        p[2] = data2;
        m_at = p + 3;
    }
    // A meta event now: FF, type, the length as a variable-length quantity, data.
    void meta(uint8_t type, std::span<const uint8_t> data) {
        reserve(static_cast<uint32_t>(EVENT_ROOM + MAX_VARIABLE_LENGTH_SIZE + data.size()));
        m_at = writeMeta(eventStart(), type, data);
    }

    // The messages the conversion writes, by name.
    // A note on now and off ticks later, with no other event between: the most
    // common pair of a song, written with one look at the room left.
    void note(uint8_t key, uint8_t onVelocity, uint32_t ticks, uint8_t offVelocity) {
        uint8_t* p = eventStart(2 * EVENT_ROOM);
        p[0] = static_cast<uint8_t>(0x90 | m_channel);
        p[1] = key;
        p[2] = onVelocity;
        p += 3;
        if (ticks < 0x80) {
            *p++ = static_cast<uint8_t>(ticks);
        } else {
            p += writeVariableLength(p, ticks);
        }
        p[0] = static_cast<uint8_t>(0x80 | m_channel);
        p[1] = key;
        p[2] = offVelocity;
        m_at = p + 3;
    }
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

private:
    friend class MidiTrack;
    // Room for the longest delta and channel message, kept free behind every event.
    static constexpr uint32_t EVENT_ROOM = 16;

    Writer(MidiTrack& track, uint8_t channel) : m_track(&track), m_channel(channel) {}

    // Writes a meta event's bytes behind its delta at p; returns the end. The slow
    // paths take and return positions, never the writer itself, so that a writer in
    // a local variable stays there.
    static uint8_t* writeMeta(uint8_t* p, uint8_t type, std::span<const uint8_t> data);

    // Makes room for n bytes at the write position.
    void reserve(uint32_t n) {
        if (static_cast<size_t>(m_end - m_at) < n) {
            m_at = m_track->grow(m_at, n);
            m_end = m_track->m_bytes.get() + m_track->m_capacity;
            stopAt(m_stopSize);
        }
    }
    // Writes the pending delta, clears it and returns where the event's bytes go, with
    // room for at least a further room bytes behind it.
    uint8_t* eventStart(uint32_t room = EVENT_ROOM) {
        reserve(room);
        uint8_t* p = m_at;
        if (m_pending < 0x80) {   // nearly every delta
            *p = static_cast<uint8_t>(m_pending);
            m_pending = 0;
            return p + 1;
        }
        p += writeVariableLength(p, m_pending);
        m_pending = 0;
        return p;
    }

    MidiTrack* m_track;
    uint8_t* m_at = nullptr;     // where the next event goes
    uint8_t* m_end = nullptr;    // the end of the track's room
    uint8_t* m_stop = nullptr;   // where the room ends, or where the chunk reaches m_stopSize
    uint32_t m_stopSize = UINT32_MAX;
    uint32_t m_pending = 0;   // ticks since the last event written
    uint8_t m_channel;
};

}   // namespace karvo
