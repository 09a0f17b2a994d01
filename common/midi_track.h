// One MTrk chunk built in memory by the object that owns it, so that its length is
// known before it is written; and the MThd header that comes before the chunks.
//
//   MThd chunk:  +0 "MThd"  +4 length 6  +8 format  +10 chunk count  +12 ticks per quarter
//   MTrk chunk:  +0 "MTrk"  +4 length (be32, filled in at the end)  +8 events
//   event:       delta (variable-length quantity), status + channel, data bytes
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
    // Makes room for n bytes behind at, the writer's position, where fewer are free;
    // returns the position in the room.
    uint8_t* makeRoom(uint8_t* at, uint32_t n);
    // The writer's limit for a chunk told to stop at stopSize bytes.
    uint8_t* limit(uint32_t stopSize) const;
    // Writes the bytes from offset from to at, the writer's position, again times
    // times behind at, with ROOM bytes free behind them; returns the new position.
    uint8_t* writeAgain(uint8_t* at, uint32_t from, uint32_t times);

    std::unique_ptr<uint8_t[]> m_bytes;   // m_capacity bytes, of which m_size are written
    uint32_t m_capacity = 0;
    uint32_t m_size = 0;
};

// The chunk's clock and its write position. Time moves only by wait(); every event
// lands at the ticks waited since the event before it. A writer is a small value,
// meant to be held in a local variable by a loop that writes many events, so that
// the compiler keeps it in registers.
//
// Events are written without a look at the room left: full() leaves ROOM bytes free
// behind the write position, and whoever writes events asks it before every ROOM
// bytes at most (the converter's loop asks before each element), or reserves what it
// writes beyond that. So a note costs one comparison, not one per event.
class MidiTrack::Writer {
public:
    // The most that may be written between two looks at full().
    static constexpr uint32_t ROOM = 64;

    void wait(uint32_t ticks) { m_pending += ticks; }
    // One pending tick fewer, if any is pending.
    void takeBackTick() { m_pending -= m_pending != 0 ? 1 : 0; }
    uint32_t pendingTicks() const { return m_pending; }
    // The chunk's bytes so far.
    uint32_t size() const { return static_cast<uint32_t>(m_at - m_track->m_bytes.get()); }
    // Sets the size at which full() says the chunk is full.
    void stopAt(uint32_t size) {
        m_stopSize = size;
        m_limit = m_track->limit(size);
    }
    // Whether the chunk has reached the size it was told to stop at; either way, ROOM
    // bytes are free behind the write position afterwards. Below the limit, one
    // comparison tells both.
    bool full() {
        if (m_at < m_limit) [[likely]] {
            return false;
        }
        reserve(ROOM);
        return size() >= m_stopSize;
    }
    // Whether n bytes more leave the chunk short of the size it was told to stop at.
    bool staysShort(uint64_t n) const { return size() + n < m_stopSize; }
    // Writes the chunk's bytes from offset from to the write position again, times
    // times over: a passage whose events come again as they were. Pending ticks stay.
    void writeAgain(uint32_t from, uint32_t times) {
        m_at = m_track->writeAgain(m_at, from, times);
        m_limit = m_track->limit(m_stopSize);
    }

    // Makes room for n bytes at the write position.
    void reserve(uint32_t n) {
        m_at = m_track->makeRoom(m_at, n);
        m_limit = m_track->limit(m_stopSize);
    }

    // A channel message now: the status nibble gets the channel.
    [[gnu::always_inline]] void event(uint8_t status, uint8_t data) {
        uint8_t* p = writeDelta(m_at);
        p[0] = static_cast<uint8_t>(status | m_channel);
        p[1] = data;
        m_at = p + 2;
    }
    [[gnu::always_inline]] void event(uint8_t status, uint8_t data1, uint8_t data2) {
        uint8_t* p = writeDelta(m_at);
        p[0] = static_cast<uint8_t>(status | m_channel);
        p[1] = data1;
        p[2] = data2;
        m_at = p + 3;
    }
    // A meta event now: FF, type, the length as a variable-length quantity, data.
    void meta(uint8_t type, std::span<const uint8_t> data) {
        reserve(static_cast<uint32_t>(2 * MAX_VARIABLE_LENGTH_SIZE + 2 + data.size() + ROOM));
        m_at = writeMeta(writeDelta(m_at), type, data);
    }

    // The messages the conversion writes, by name.
    // A note on now and off ticks later, with no other event between: the most common
    // pair of a song.
    [[gnu::always_inline]] void note(uint8_t key, uint8_t onVelocity, uint32_t ticks, uint8_t offVelocity) {
        if constexpr (std::endian::native == std::endian::little) {
            if ((m_pending | ticks) < 0x80) [[likely]] {
                // Nearly every note: both deltas take a byte, and the eight bytes
                // delta, 9c key on-velocity, ticks, 8c key off-velocity go in one store.
                const uint64_t bytes = m_pending | m_noteStatuses | uint64_t{onVelocity} << 24 |
                                       uint64_t{ticks} << 32 | uint64_t{offVelocity} << 56 |
                                       uint64_t{key} * 0x0001'0000'0001'0000;   // key at bytes 2 and 6
                std::memcpy(m_at, &bytes, sizeof bytes);
                m_at += sizeof bytes;
                m_pending = 0;
                return;
            }
        }
        uint8_t* p = writeDelta(m_at);
        p[0] = static_cast<uint8_t>(0x90 | m_channel);
        p[1] = key;
        p[2] = onVelocity;
        p += 3;
        p += writeVariableLength(p, ticks);
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

    Writer(MidiTrack& track, uint8_t channel)
        : m_track(&track), m_noteStatuses(uint64_t{0x90u | channel} << 8 | uint64_t{0x80u | channel} << 40),
          m_channel(channel) {}

    // Writes a meta event's bytes at p; returns the end. The slow paths take and
    // return positions, never the writer itself, so that a writer in a local variable
    // stays there.
    static uint8_t* writeMeta(uint8_t* p, uint8_t type, std::span<const uint8_t> data);

    // Writes the pending delta at p, clears it and returns where the event's bytes go.
    [[gnu::always_inline]] uint8_t* writeDelta(uint8_t* p) {
        const uint32_t delta = m_pending;
        m_pending = 0;
        if (delta < 0x80) [[likely]] {   // nearly every delta
            *p = static_cast<uint8_t>(delta);
            return p + 1;
        }
        return p + writeVariableLength(p, delta);
    }

    MidiTrack* m_track;
    uint8_t* m_at = nullptr;      // where the next event goes
    uint8_t* m_limit = nullptr;   // ROOM bytes before the end, or the stop size if sooner
    uint32_t m_stopSize = UINT32_MAX;
    uint32_t m_pending = 0;    // ticks since the last event written
    uint64_t m_noteStatuses;   // note-on and note-off status at bytes 1 and 5 of a note's eight
    uint8_t m_channel;
};

inline uint8_t* MidiTrack::limit(uint32_t stopSize) const {
    const uint32_t room = m_capacity - Writer::ROOM;
    return m_bytes.get() + (stopSize < room ? stopSize : room);
}

}   // namespace karvo
