// The FM chip model: phase and envelope generators, LFO, noise, the eight connections
// and the sample loop.
#include "opm_synth.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "opm_tables.h"

namespace karvo {
namespace {

constexpr double ENVELOPE_TICKS_PER_SECOND = double(OPM_SAMPLE_RATE) / opm::ENVELOPE_DIVIDER;

// Every field held to the width of its register bits.
OpmOperator masked(const OpmOperator& op) {
    OpmOperator m;
    m.TL = op.TL & 127;
    m.AR = op.AR & 31;
    m.D1R = op.D1R & 31;
    m.D1L = op.D1L & 15;
    m.D2R = op.D2R & 31;
    m.RR = op.RR & 15;
    m.KS = op.KS & 3;
    m.MUL = op.MUL & 15;
    m.DT1 = op.DT1 & 7;
    m.DT2 = op.DT2 & 3;
    m.AMS_EN = op.AMS_EN;
    return m;
}

}   // namespace

KeyCode keyCodeFor(double midiNote) {
    // The index whose frequency at the nominal clock, played at 4 MHz, is the note's.
    const double sharpness = opm::STEPS_PER_OCTAVE * std::log2(OPM_CLOCK_HZ / opm::NOMINAL_CLOCK_HZ);
    double index = opm::PITCH_INDEX_A4 + 64.0 * (midiNote - 69.0) - sharpness;
    if (!(index > 0.0)) {   // also NaN
        index = 0.0;
    }
    const auto nearest = static_cast<uint32_t>(std::lround(std::min(index, double(opm::PITCH_INDEX_MAX))));
    const uint32_t octave = nearest / opm::STEPS_PER_OCTAVE;
    const uint32_t note = nearest % opm::STEPS_PER_OCTAVE / 64;
    return {static_cast<uint8_t>(octave << 4 | (note + note / 3)), static_cast<uint8_t>(nearest % 64)};
}

double keyCodeFrequency(KeyCode key) {
    const double index = opm::pitchIndex(key.KC, key.KF);
    return 440.0 * std::exp2((index - opm::PITCH_INDEX_A4) / opm::STEPS_PER_OCTAVE) * OPM_CLOCK_HZ /
           opm::NOMINAL_CLOCK_HZ;
}

EnvelopeRate envelopeRate(EnvelopePhase phase, uint8_t rate, uint8_t KS, KeyCode key, uint8_t DT2) {
    OpmOperator op;
    op.AR = op.D1R = op.D2R = rate & 31;
    op.RR = rate & 15;
    const uint32_t keyCode = opm::keyScaleCode(opm::withDt2(opm::pitchIndex(key.KC, key.KF), DT2));
    const uint32_t effective = opm::effectiveRate(opm::registerRate(op, phase), KS, keyCode);

    EnvelopeRate result;
    result.rate = static_cast<uint8_t>(effective);
    if (phase != EnvelopePhase::Attack) {
        result.dbPerSecond =
            opm::averageIncrement(effective) * OPM_ATTENUATION_STEP_DB * ENVELOPE_TICKS_PER_SECOND;
        return result;
    }
    if (effective == 0) {
        result.attackSeconds = std::numeric_limits<double>::infinity();
    } else if (effective < 62) {
        // Run the attack from silence, tick by tick at the rate's own period, from a
        // counter of zero; the chip's counter may start anywhere in that period.
        const uint32_t period = effective < 48 ? 1u << (11 - effective / 4) : 1u;
        uint32_t level = opm::ENVELOPE_SILENT;
        uint32_t counter = 0;
        while (level > 0) {
            counter += period;
            const uint32_t increment = opm::envelopeIncrement(effective, counter);
            if (increment != 0) {
                level = opm::attackStep(level, increment);
            }
        }
        result.attackSeconds = counter / ENVELOPE_TICKS_PER_SECOND;
    }
    return result;
}

namespace opm {

void PhaseGenerator::setPitch(uint32_t index, const OpmOperator& op) {
    const Tables& t = tables();
    index = withDt2(index, op.DT2);
    m_keyCode = keyScaleCode(index);
    uint32_t step = t.phaseStep[index % STEPS_PER_OCTAVE] >> (7 - index / STEPS_PER_OCTAVE);
    // DT1 in the chip's 2^-20 cycle, here 2^-32.
    const uint32_t detune = uint32_t{t.detune[m_keyCode][op.DT1 & 3]} << 12;
    step = (op.DT1 & 4) != 0 ? step - detune : step + detune;
    // MUL 0 halves; the product wraps as the phase does.
    const uint64_t twiceMul = op.MUL == 0 ? 1 : 2u * op.MUL;
    m_step = static_cast<uint32_t>(uint64_t{step} * twiceMul >> 1);
}

void EnvelopeGenerator::keyOn(const OpmOperator& op, uint32_t keyCode) {
    m_phase = EnvelopePhase::Attack;
    if (effectiveRate(op.AR, op.KS, keyCode) >= 62) {
        m_level = 0;
    }
}

void EnvelopeGenerator::tick(const OpmOperator& op, uint32_t keyCode, uint32_t counter) {
    if (m_phase == EnvelopePhase::Release && m_level == ENVELOPE_SILENT) {
        return;   // released and silent: nothing moves until the next key on
    }
    if (m_phase == EnvelopePhase::Attack && m_level == 0) {
        m_phase = EnvelopePhase::Decay1;
    }
    if (m_phase == EnvelopePhase::Decay1 && m_level >= firstDecayLevel(op.D1L)) {
        m_phase = EnvelopePhase::Decay2;
    }
    const uint32_t rate = effectiveRate(registerRate(op, m_phase), op.KS, keyCode);
    const uint32_t increment = envelopeIncrement(rate, counter);
    if (m_phase == EnvelopePhase::Attack) {
        // Rates 62 and 63 reach full volume at once (also when AR is raised mid-attack).
        if (rate >= 62) {
            m_level = 0;
        } else if (increment != 0) {
            m_level = attackStep(m_level, increment);
        }
        return;
    }
    m_level = std::min(m_level + increment, ENVELOPE_SILENT);
    if (m_level >= ENVELOPE_FLOOR) {
        m_level = ENVELOPE_SILENT;
        m_phase = EnvelopePhase::Release;
    }
}

bool Lfo::advance(const OpmLfo& lfo, uint32_t noise) {
    m_counter = (m_counter + ((16u + (lfo.LFRQ & 15u)) << (lfo.LFRQ >> 4))) & ((1u << 30) - 1);
    const uint32_t position = m_counter >> 22;
    if (position == m_position) {
        return false;
    }
    m_position = position;
    uint32_t am = 0;
    int32_t pm = 0;
    switch (lfo.WF & 3) {
    case 0:
        am = 255 - position;
        pm = position < 128 ? int32_t(position) : int32_t(position) - 256;
        break;
    case 1:
        am = position < 128 ? 255 : 0;
        pm = position < 128 ? 127 : -128;
        break;
    case 2: {
        am = position < 128 ? 255 - 2 * position : 2 * position - 256;
        const auto half = int32_t(position & 127);
        const int32_t rise = half < 64 ? 2 * half : 255 - 2 * half;
        pm = position < 128 ? rise : -rise;
        break;
    }
    default:
        am = noise;
        pm = noise < 128 ? int32_t(noise) : int32_t(noise) - 256;
        break;
    }
    m_am = am * lfo.AMD >> 7;
    m_pm = pm * lfo.PMD / 128;
    return true;
}

void NoiseGenerator::advance(uint32_t NFRQ) {
    // Two timer counts a sample, one step per 32 - NFRQ counts.
    const uint32_t period = 32 - (NFRQ & 31);
    m_count += 2;
    while (m_count >= period) {
        m_count -= period;
        // Taps 17 and 14: a maximal sequence of 131,071 steps. The chip's own taps are
        // not documented; white noise sounds the same from any maximal register.
        const uint32_t in = (m_state ^ (m_state >> 3)) & 1;
        m_state = (m_state >> 1) | (in << 16);
    }
}

}   // namespace opm

void OpmSynth::setVoice(const OpmVoice& voice) {
    m_voice.CON = voice.CON & 7;
    m_voice.FL = voice.FL & 7;
    m_voice.slotMask = voice.slotMask & 15;
    m_voice.AMS = voice.AMS & 3;
    m_voice.PMS = voice.PMS & 7;
    for (size_t i = 0; i < m_op.size(); ++i) {
        m_voice.op[i] = masked(voice.op[i]);
        m_op[i].fields = m_voice.op[i];
    }
    m_pitchSwing = opm::pitchSwing(m_lfoUnit.pm(), m_voice.PMS);
    updatePitch();
}

void OpmSynth::setLfo(const OpmLfo& lfo) {
    m_lfo = {lfo.LFRQ,
             static_cast<uint8_t>(lfo.AMD & 127),
             static_cast<uint8_t>(lfo.PMD & 127),
             static_cast<uint8_t>(lfo.WF & 3),
             lfo.NE,
             static_cast<uint8_t>(lfo.NFRQ & 31)};
    m_lfoUnit.invalidate();   // depths and waveform apply from the next sample
}

void OpmSynth::setKeyCode(KeyCode key) {
    m_pitchIndex = opm::pitchIndex(key.KC, key.KF);
    updatePitch();
}

void OpmSynth::updatePitch() {
    const auto swung = std::clamp(int32_t(m_pitchIndex) + m_pitchSwing, 0, int32_t(opm::PITCH_INDEX_MAX));
    for (opm::Operator& op : m_op) {
        op.phase.setPitch(uint32_t(swung), op.fields);
    }
}

void OpmSynth::keyOn() {
    // Key-on register bits 3-6 in the order M1, C1, M2, C2.
    constexpr std::array<int, 4> SLOT_BIT_POSITION = {M1, C1, M2, C2};
    for (size_t bit = 0; bit < SLOT_BIT_POSITION.size(); ++bit) {
        opm::Operator& op = m_op[size_t(SLOT_BIT_POSITION[bit])];
        const bool on = ((m_voice.slotMask >> bit) & 1) != 0;
        if (on && !op.keyed) {
            op.phase.restart();
            op.envelope.keyOn(op.fields, op.phase.keyCode());
        } else if (!on && op.keyed) {
            op.envelope.keyOff();
        }
        op.keyed = on;
    }
}

void OpmSynth::keyOff() {
    for (opm::Operator& op : m_op) {
        if (op.keyed) {
            op.envelope.keyOff();
            op.keyed = false;
        }
    }
}

OperatorState OpmSynth::operatorState(int position) const {
    const opm::EnvelopeGenerator& eg = m_op[size_t(position & 3)].envelope;
    return {eg.phase(), static_cast<uint16_t>(eg.level())};
}

// The envelope, TL (0.75 dB a step, which is eight level steps) and the LFO's AM, which
// AMS 1-3 scales to at most 23.9, 47.8 or 95.6 dB.
uint32_t OpmSynth::totalAttenuation(const opm::Operator& op) const {
    uint32_t total = op.envelope.level() + (uint32_t{op.fields.TL} << 3);
    if (op.fields.AMS_EN && m_voice.AMS != 0) {
        total += m_lfoUnit.am() << (m_voice.AMS - 1);
    }
    return std::min(total, opm::ENVELOPE_SILENT);
}

namespace {

// One operator's output: the sine at its phase plus modulation (in 1/1024 cycle), through
// the log-sine and exponent tables at its total attenuation: 14 bits signed.
int32_t operatorOutput(const opm::Tables& t, const opm::Operator& op, int32_t modulation,
                       uint32_t attenuation) {
    if (attenuation >= opm::OPERATOR_SILENT) {
        return 0;
    }
    const uint32_t phase = (op.phase.sineIndex() + uint32_t(modulation)) & 1023;
    const uint32_t quarter = (phase & 256) != 0 ? ~phase & 255 : phase & 255;
    const uint32_t total = t.logSin[quarter] + (attenuation << 2);
    const auto magnitude = int32_t((uint32_t{t.exp[total & 255]} << 2) >> (total >> 8));
    return (phase & 512) != 0 ? -magnitude : magnitude;
}

// The noise in C2's place: its sign from the register, its size linear in the inverted
// attenuation, at most 4088, about half an operator's peak.
int32_t noiseOutput(bool bit, uint32_t attenuation) {
    const auto magnitude = int32_t(((attenuation ^ opm::ENVELOPE_SILENT) & ~1u) << 2);
    return bit ? magnitude : -magnitude;
}

}   // namespace

// The eight connections; M1 always has its feedback, '-z-' marks a path that carries the
// previous sample's output (the chip computes M1, M2, C1, C2 in that order), and the
// modulation an operator receives is half the sum of its inputs:
//   0  M1 - C1 -z- M2 - C2                 4  M1 - C1 +  M2 - C2
//   1  (M1 + C1) -z- M2 - C2               5  M1 - C1, M1 -z- M2, M1 - C2, summed
//   2  M1 + (C1 -z- M2), into C2           6  M1 - C1, + M2 + C2
//   3  (M1 - C1 -z-) + M2, into C2         7  M1 + C1 + M2 + C2
int32_t OpmSynth::channelOutput() {
    const opm::Tables& t = opm::tables();
    std::array<uint32_t, 4> att{};
    for (size_t i = 0; i < att.size(); ++i) {
        att[i] = totalAttenuation(m_op[i]);
    }
    const auto out = [&](int position, int32_t modulation) {
        return operatorOutput(t, m_op[size_t(position)], modulation, att[size_t(position)]);
    };
    // FL 1-7: the average of M1's last two outputs over 2^(9 - FL): pi/16 up to 4 pi.
    const int32_t feedback = m_voice.FL == 0 ? 0 : (m_m1Out[0] + m_m1Out[1]) >> (10 - m_voice.FL);
    const int32_t m1Before = m_m1Out[0];
    const int32_t c1Before = m_c1Out;
    const int32_t m1 = out(M1, feedback);
    int32_t c1 = 0;
    int32_t m2 = 0;
    int32_t c2Modulation = 0;
    int32_t carriers = 0;
    switch (m_voice.CON) {
    case 0:
        c1 = out(C1, m1 >> 1);
        m2 = out(M2, c1Before >> 1);
        c2Modulation = m2 >> 1;
        break;
    case 1:
        c1 = out(C1, 0);
        m2 = out(M2, (m1Before + c1Before) >> 1);
        c2Modulation = m2 >> 1;
        break;
    case 2:
        c1 = out(C1, 0);
        m2 = out(M2, c1Before >> 1);
        c2Modulation = (m1 + m2) >> 1;
        break;
    case 3:
        c1 = out(C1, m1 >> 1);
        m2 = out(M2, 0);
        c2Modulation = (c1Before + m2) >> 1;
        break;
    case 4:
        c1 = out(C1, m1 >> 1);
        m2 = out(M2, 0);
        c2Modulation = m2 >> 1;
        carriers = c1;
        break;
    case 5:
        c1 = out(C1, m1 >> 1);
        m2 = out(M2, m1Before >> 1);
        c2Modulation = m1 >> 1;
        carriers = c1 + m2;
        break;
    case 6:
        c1 = out(C1, m1 >> 1);
        m2 = out(M2, 0);
        carriers = c1 + m2;
        break;
    default:
        c1 = out(C1, 0);
        m2 = out(M2, 0);
        carriers = m1 + c1 + m2;
        break;
    }
    const int32_t c2 = m_lfo.NE ? noiseOutput(m_noise.bit(), att[C2]) : out(C2, c2Modulation);
    m_m1Out = {m1, m_m1Out[0]};
    m_c1Out = c1;
    return carriers + c2;
}

void OpmSynth::render(std::span<int16_t> out) {
    for (int16_t& sample : out) {
        m_noise.advance(m_lfo.NFRQ);
        if (m_lfoUnit.advance(m_lfo, m_noise.byte())) {
            const int32_t swing = opm::pitchSwing(m_lfoUnit.pm(), m_voice.PMS);
            if (swing != m_pitchSwing) {
                m_pitchSwing = swing;
                updatePitch();
            }
        }
        if (++m_envelopeDivider == opm::ENVELOPE_DIVIDER) {
            m_envelopeDivider = 0;
            ++m_envelopeCounter;
            for (opm::Operator& op : m_op) {
                op.envelope.tick(op.fields, op.phase.keyCode(), m_envelopeCounter);
            }
        }
        const int32_t mix = channelOutput();
        for (opm::Operator& op : m_op) {
            op.phase.advance();
        }
        sample = static_cast<int16_t>(std::clamp(mix, int32_t{INT16_MIN}, int32_t{INT16_MAX}));
    }
}

}   // namespace karvo
