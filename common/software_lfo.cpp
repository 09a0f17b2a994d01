// The two software LFOs, tick by tick.
#include "software_lfo.h"

#include <algorithm>

#include "bytes.h"

namespace karvo {
namespace {

enum Waveform : uint8_t { SAWTOOTH, SQUARE, TRIANGLE, RANDOM };

}   // namespace

void SoftwareLfo::command(const uint8_t* operands) {
    switch (operands[0]) {
    case 0x80:
        m_active = false;
        m_offset = 0;
        return;
    case 0x81: restart(); return;
    default:
        m_waveform = operands[0];
        m_period = readBe16(operands + 1);
        m_amplitude = static_cast<int16_t>(readBe16(operands + 3));
        restart();
        return;
    }
}

void SoftwareLfo::pause() {
    m_active = false;
    m_offset = 0;
}

void SoftwareLfo::restart() {
    // Without an amplitude every waveform stays at 0: nothing to run.
    m_active = m_amplitude != 0;
    const int64_t a = m_amplitude;
    const auto half = static_cast<uint16_t>(m_period / 2);
    if (m_kind == Kind::PITCH) {
        switch (m_waveform & 3) {
        case SAWTOOTH:
            m_counter = half;
            m_offset = 0;
            break;
        case SQUARE:
            m_counter = m_period;
            m_offset = a;
            break;
        case TRIANGLE:
            m_counter = half;
            m_offset = a;
            m_step = a;
            break;
        default:
            m_counter = m_period;
            m_offset = nextRandom() * a / 128;
            break;
        }
        return;
    }
    m_counter = m_period;
    m_step = a;
    switch (m_waveform & 3) {
    case SAWTOOTH:
    case TRIANGLE: m_start = std::max<int64_t>(-a * m_period, 0); break;
    default: m_start = std::max<int64_t>(-a, 0); break;
    }
    m_offset = m_start;
}

void SoftwareLfo::tick() {
    if (!m_active) {
        return;
    }
    const bool turn = --m_counter == 0;
    if (turn) {
        m_counter = m_period;
    }
    // The two kinds differ only in their sawtooth and square: the pitch's turn the
    // offset over, the amplitude's start again and step by turns.
    const bool pitch = m_kind == Kind::PITCH;
    switch (m_waveform & 3) {
    case SAWTOOTH:
        if (pitch) {
            m_offset += m_amplitude;
            m_offset = turn ? -m_offset : m_offset;
        } else {
            m_offset = turn ? m_start : m_offset + m_amplitude;
        }
        break;
    case SQUARE:
        if (turn && pitch) {
            m_offset = -m_offset;
        } else if (turn) {
            m_offset += m_step;
            m_step = -m_step;
        }
        break;
    case TRIANGLE:
        m_offset += m_step;
        m_step = turn ? -m_step : m_step;
        break;
    default: m_offset = turn ? nextRandom() * int64_t{m_amplitude} / 128 : m_offset; break;
    }
}

int64_t SoftwareLfo::stepPerTick() const {
    switch (m_waveform & 3) {
    case SAWTOOTH: return m_amplitude;
    case TRIANGLE: return m_step;
    default: return 0;
    }
}

uint32_t SoftwareLfo::ticksToNextChange() const {
    const uint32_t turn = ticksToTurn();
    const int64_t step = stepPerTick();
    if (step == 0) {
        return turn;
    }
    if (m_kind == Kind::PITCH && m_waveform >= 4) {
        return 1;   // two units a step
    }
    // The offsets that give the same output as now: the pitch LFO's divide by 128
    // toward zero, the amplitude LFO's by 256 toward minus infinity.
    int64_t low = 0;
    int64_t high = 0;
    if (m_kind == Kind::PITCH) {
        const int64_t q = m_offset / 128;
        low = q > 0 ? q * 128 : (q - 1) * 128 + 1;
        high = q >= 0 ? (q + 1) * 128 - 1 : q * 128;
    } else {
        low = (m_offset >> 8) * 256;
        high = low + 255;
    }
    const int64_t room = step > 0 ? high - m_offset : m_offset - low;
    const int64_t ticks = room / (step > 0 ? step : -step) + 1;
    return static_cast<uint32_t>(std::min<int64_t>(ticks, turn));
}

void SoftwareLfo::tick(uint32_t ticks) {
    if (!m_active || ticks == 0) {
        return;
    }
    // No turn comes before the last tick: the offset moves in a straight line.
    const uint32_t before = std::min(ticks, ticksToTurn()) - 1;
    m_counter = static_cast<uint16_t>(m_counter - before);
    m_offset += stepPerTick() * before;
    tick();
}

int32_t SoftwareLfo::bend() const {
    // 1/16384 semitone is 1/128 of a unit; 1/64 semitone is 2 units.
    const int64_t units = m_waveform >= 4 ? m_offset * 2 : m_offset / 128;
    return static_cast<int32_t>(std::clamp<int64_t>(units, -0x4000, 0x4000));
}

uint32_t SoftwareLfo::attenuation() const {
    return static_cast<uint32_t>(std::clamp<int64_t>(m_offset >> 8, 0, 127));
}

int32_t SoftwareLfo::nextRandom() {
    const auto bit =
        static_cast<uint16_t>(((m_random >> 0) ^ (m_random >> 2) ^ (m_random >> 3) ^ (m_random >> 5)) & 1);
    m_random = static_cast<uint16_t>((m_random >> 1) | (bit << 15));
    return static_cast<int8_t>(m_random & 0xFF);
}

}   // namespace karvo
