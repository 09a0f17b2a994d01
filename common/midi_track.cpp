// The chunk's framing and the delta encoding; the event appends are inline in the header.
#include "midi_track.h"

#include <cstring>
#include <new>

#include "bytes.h"

namespace karvo {

std::array<uint8_t, MIDI_HEADER_SIZE> midiHeaderChunk(int trackCount) {
    return {
        'M',  'T',
        'h',  'd',
        0x00, 0x00,
        0x00, 0x06,                               // +4: header length
        0x00, 0x01,                               // +8: format 1
        0x00, static_cast<uint8_t>(trackCount),   // +10: chunks that follow
        0x00, TICKS_PER_QUARTER,                  // +12: division
    };
}

size_t writeVariableLength(uint8_t* out, uint32_t value) {
    size_t groups = 1;
    while (groups < MAX_VARIABLE_LENGTH_SIZE && (value >> (7 * groups)) != 0) {
        ++groups;
    }
    for (size_t k = groups; k-- > 1;) {
        *out++ = static_cast<uint8_t>(((value >> (7 * k)) & 0x7F) | 0x80);
    }
    *out = static_cast<uint8_t>(value & 0x7F);
    return groups;
}

// Only the written bytes are copied, and nothing is zeroed: every byte up to the
// write position is written before it is read.
uint8_t* MidiTrack::makeRoom(uint8_t* at, uint32_t n) {
    m_size = at == nullptr ? 0 : static_cast<uint32_t>(at - m_bytes.get());
    uint64_t capacity = m_capacity == 0 ? 65536 : m_capacity;
    while (capacity - m_size < n) {
        capacity *= 2;
    }
    if (capacity > UINT32_MAX) {
        throw std::bad_alloc();
    }
    if (capacity != m_capacity) {
        auto bigger = std::make_unique_for_overwrite<uint8_t[]>(capacity);
        if (m_size != 0) {
            std::memcpy(bigger.get(), m_bytes.get(), m_size);
        }
        m_bytes = std::move(bigger);
        m_capacity = static_cast<uint32_t>(capacity);
    }
    return m_bytes.get() + m_size;
}

uint8_t* MidiTrack::writeAgain(uint8_t* at, uint32_t from, uint32_t times) {
    const auto length = static_cast<uint32_t>(at - m_bytes.get()) - from;
    at = makeRoom(at, length * times + Writer::ROOM);
    for (uint32_t i = 0; i < times; ++i) {
        std::memcpy(at, m_bytes.get() + from, length);
        at += length;
    }
    return at;
}

MidiTrack::Writer MidiTrack::begin(uint8_t channel) {
    static constexpr uint8_t MTRK[8] = {'M', 'T', 'r', 'k', 0, 0, 0, 0};   // +4: length, filled in at the end
    Writer writer(*this, channel);
    writer.reserve(sizeof MTRK + Writer::ROOM);
    m_size = 0;
    writer.m_at = m_bytes.get();
    std::memcpy(writer.m_at, MTRK, sizeof MTRK);
    writer.m_at += sizeof MTRK;
    return writer;
}

uint8_t* MidiTrack::Writer::writeMeta(uint8_t* p, uint8_t type, std::span<const uint8_t> data) {
    const auto length = static_cast<uint32_t>(data.size());
    *p++ = 0xFF;
    *p++ = type;
    p += writeVariableLength(p, length);
    if (length != 0) {
        std::memcpy(p, data.data(), length);
    }
    return p + length;
}

void MidiTrack::end(Writer& writer) {
    static constexpr uint8_t END_OF_TRACK[4] = {0x00, 0xFF, 0x2F, 0x00};
    writer.reserve(sizeof END_OF_TRACK);
    std::memcpy(writer.m_at, END_OF_TRACK, sizeof END_OF_TRACK);
    writer.m_at += sizeof END_OF_TRACK;
    m_size = writer.size();
    writeBe32(m_bytes.get() + 4, m_size - 8);
}

}   // namespace karvo
