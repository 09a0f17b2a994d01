// The voice table the soundfont is rendered from.
#include "song_voices.h"

#include <algorithm>

namespace karvo {

// Before the run's first voice select there is no voice to hold the values.
void SongVoices::captureLfo(int voice, const LfoSettings& lfo) {
    m_program.captureLfo(voice, lfo);
    if (voice >= 0) {
        m_slots[static_cast<size_t>(voice & 127)].take(lfo);
    }
}

void SongVoices::captureNoise(int voice, const NoiseSettings& noise) {
    m_program.captureNoise(voice, noise);
    if (voice >= 0) {
        m_slots[static_cast<size_t>(voice & 127)].take(noise);
    }
}

void SongVoices::onNumber(uint8_t number, const std::string&) {
    m_cursor = number & 127;
    m_slots[static_cast<size_t>(m_cursor)].recorded = true;
}

void SongVoices::onFlCon(uint8_t FL, uint8_t CON) {
    Slot& s = m_slots[static_cast<size_t>(m_cursor)];
    s.FL = FL;
    s.CON = CON;
}

void SongVoices::onSlot(uint8_t SLOT) { m_slots[static_cast<size_t>(m_cursor)].SLOT = SLOT; }

void SongVoices::onOperatorField(int position, OperatorField field, uint8_t a, uint8_t b) {
    storeOperatorField(m_slots[static_cast<size_t>(m_cursor)].op[static_cast<size_t>(position)], field, a, b);
}

bool SongVoices::anyRecorded() const {
    return std::any_of(m_slots.begin(), m_slots.end(), [](const Slot& s) { return s.recorded; });
}

OpmVoice SongVoices::voice(int slot) const {
    const Slot& s = m_slots[static_cast<size_t>(slot & 127)];
    OpmVoice v;
    v.CON = s.CON;
    v.FL = s.FL;
    v.slotMask = static_cast<uint8_t>(s.SLOT >> 3);
    v.AMS = s.AMS;
    v.PMS = s.PMS;
    for (size_t p = 0; p < v.op.size(); ++p) {
        const OperatorRecord& r = s.op[p];
        v.op[p] = {r.TL, r.AR, r.D1R, r.D1L, r.D2R, r.RR, r.KS, r.MUL, r.DT1, r.DT2, r.AMS_EN != 0};
    }
    return v;
}

OpmLfo SongVoices::lfo(int slot) const {
    const Slot& s = m_slots[static_cast<size_t>(slot & 127)];
    OpmLfo lfo;
    lfo.WF = s.WF;
    lfo.NE = s.NE != 0;
    lfo.NFRQ = s.NFRQ;
    return lfo;
}

}   // namespace karvo
