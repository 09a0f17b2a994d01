// The FM chip's fixed tables, each computed once from its formula or from a short
// seed where the chip's own table is irregular, and the small arithmetic that reads them.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

#include "opm_synth.h"

namespace karvo::opm {

// Pitch is one linear index in 1/64 semitone: 768 steps an octave, from octave 0 C#
// (index 0) to octave 7 C with KF 63 (6143). DT2 and the LFO's pitch swing add to it,
// and the chip holds the sum within that range.
constexpr uint32_t STEPS_PER_OCTAVE = 768;
constexpr uint32_t PITCH_INDEX_MAX = 8 * STEPS_PER_OCTAVE - 1;
// KC 0x4A, the A of octave 4, is 440 Hz at the clock the note table was drawn up for.
constexpr uint32_t PITCH_INDEX_A4 = 4 * STEPS_PER_OCTAVE + 8 * 64;
constexpr double NOMINAL_CLOCK_HZ = 3'579'545.0;

// Envelope levels are attenuations of 10 bits, 0.09375 dB a step: 0 is full volume.
constexpr uint32_t ENVELOPE_SILENT = 1023;
// A decaying level that reaches 1008 (94.5 dB) is cut to silence.
constexpr uint32_t ENVELOPE_FLOOR = 0x3F0;
// The envelope generator steps once every three samples.
constexpr uint32_t ENVELOPE_DIVIDER = 3;
// From this total attenuation on, an operator's sine is shifted out entirely: 832 x 4
// is 13 factors of two, and the largest output has 13 bits.
constexpr uint32_t OPERATOR_SILENT = 832;

// KC's note codes skip 3, 7, 11 and 15, four codes to three semitones; a skipped code
// sounds as the code after it (15 as the next octave's C#).
constexpr uint32_t pitchIndex(uint32_t KC, uint32_t KF) {
    const uint32_t octave = (KC >> 4) & 7;
    const uint32_t code = KC & 15;
    const uint32_t index = octave * STEPS_PER_OCTAVE + (code - (code >> 2)) * 64 + (KF & 63);
    return index < PITCH_INDEX_MAX ? index : PITCH_INDEX_MAX;
}

// The 5-bit key code that key scaling and DT1 read: the octave, then the top two
// bits of the note code (one value for every three semitones).
constexpr uint32_t keyScaleCode(uint32_t index) {
    return index / STEPS_PER_OCTAVE * 4 + index % STEPS_PER_OCTAVE / 192;
}

// DT2 (C0-DF bits 6-7) raises an operator's pitch by 0, 600, 781 or 950 cents
// (x1, x1.41, x1.57, x1.73); the chip adds it to the key code in 1/64 semitone.
constexpr uint32_t centsToSteps(uint32_t cents) { return (cents * 64 + 50) / 100; }
constexpr std::array<uint32_t, 4> DT2_STEPS = {centsToSteps(0), centsToSteps(600), centsToSteps(781),
                                               centsToSteps(950)};

// PMS (38-3F bits 4-6): the pitch swing at the LFO's full PM depth, in cents.
constexpr std::array<int32_t, 8> PMS_CENTS = {0, 5, 10, 20, 50, 100, 400, 700};

// The LFO's pitch swing in 1/64 semitone for a PM value of -128..127 (127 = full).
constexpr int32_t pitchSwing(int32_t pm, uint32_t PMS) {
    const int32_t scaled = pm * PMS_CENTS[PMS & 7];   // x 64 / 100 / 128 = / 200
    return (scaled >= 0 ? scaled + 100 : scaled - 100) / 200;
}

// The envelope rate: 2R plus the key scaling, KS 0-3 adding the 5-bit key code shifted
// right by 3 - KS (the manual's key scaling table: at most 3, 7, 15 or 31), held at 63.
// R = 0 holds the level whatever the key. A release rate RR reaches here as 2RR + 1.
constexpr uint32_t effectiveRate(uint32_t R, uint32_t KS, uint32_t keyCode) {
    if (R == 0) {
        return 0;
    }
    const uint32_t rate = 2 * R + (keyCode >> (3 - (KS & 3)));
    return rate < 63 ? rate : 63;
}

// How far the level moves at one envelope tick, counter being the count of ticks:
//   rates 1-47   by 1 on the marked ticks of every 2^(11 - rate/4)th tick
//   rates 48-59  by 2^(rate/4 - 12) at every tick, twice that on the marked ticks
//   rates 60-63  by 8 at every tick
// the marks, over eight such ticks, set by the rate's low two bits:
//          rates 1-47         rates 48-59
//     0    . x . x . x . x    . . . . . . . .
//     1    . x . x x x . x    . . . x . . . x
//     2    . x x x . x x x    . x . x . x . x
//     3    . x x x x x x x    . x x x . x x x
// so that four rate steps double the speed: 96 dB of decay takes 6.1 ms at rate 60
// and about 100 s at rate 4 (at 4 MHz).
constexpr std::array<uint8_t, 4> LOW_RATE_MARKS = {0xAA, 0xBA, 0xEE, 0xFE};   // bit n: tick n
constexpr std::array<uint8_t, 4> HIGH_RATE_MARKS = {0x00, 0x88, 0xAA, 0xEE};

constexpr uint32_t envelopeIncrement(uint32_t rate, uint32_t counter) {
    if (rate == 0) {
        return 0;
    }
    if (rate < 48) {
        const uint32_t shift = 11 - rate / 4;
        if ((counter & ((1u << shift) - 1)) != 0) {
            return 0;
        }
        return (uint32_t{LOW_RATE_MARKS[rate & 3]} >> ((counter >> shift) & 7)) & 1;
    }
    if (rate >= 60) {
        return 8;
    }
    return (1u << (rate / 4 - 12)) << ((uint32_t{HIGH_RATE_MARKS[rate & 3]} >> (counter & 7)) & 1);
}

// The attack is exponential: at each increment the level falls by (level + 1) x
// increment / 16, rounded up, reaching 0 from silence in 73 steps of 1. level > 0.
constexpr uint32_t attackStep(uint32_t level, uint32_t increment) {
    return level - ((level + 1) * increment + 15) / 16;
}

// The register rate of a phase; RR's four bits become the five of the others as 2RR + 1.
inline uint32_t registerRate(const OpmOperator& op, EnvelopePhase phase) {
    switch (phase) {
    case EnvelopePhase::Attack: return op.AR;
    case EnvelopePhase::Decay1: return op.D1R;
    case EnvelopePhase::Decay2: return op.D2R;
    case EnvelopePhase::Release: break;
    }
    return 2u * op.RR + 1;
}

// The pitch index an operator's DT2 raises to.
inline uint32_t withDt2(uint32_t index, uint32_t DT2) {
    return std::min(index + DT2_STEPS[DT2 & 3], PITCH_INDEX_MAX);
}

// D1L in levels: 32 (3 dB) a step, and 15 stands for 31 (93 dB).
constexpr uint32_t firstDecayLevel(uint32_t D1L) { return (D1L == 15 ? 31u : D1L) * 32; }

// Level steps an envelope tick on average at an effective rate.
inline double averageIncrement(uint32_t rate) {
    if (rate == 0) {
        return 0.0;
    }
    if (rate < 48) {
        const double marked = std::popcount(LOW_RATE_MARKS[rate & 3]) / 8.0;
        return std::ldexp(marked, -int(11 - rate / 4));
    }
    if (rate >= 60) {
        return 8.0;
    }
    const double doubled = std::popcount(HIGH_RATE_MARKS[rate & 3]) / 8.0;
    return std::ldexp(1.0 + doubled, int(rate / 4) - 12);
}

struct Tables {
    // The sine as an attenuation: a quarter wave in 256 steps, -log2(sin) in 1/256 of a
    // factor of two (0.0235 dB), from 2137 next to the zero crossing to 0 at the peak.
    std::array<uint16_t, 256> logSin{};
    // Back to linear: 1024 x 2^((255 - x) / 256), 2042 down to 1024, for the fractional
    // part x of an attenuation; its whole part shifts the result right.
    std::array<uint16_t, 256> exp{};
    // Phase step a sample for each pitch index of octave 7, in 2^-32 cycle; each octave
    // down halves it. The note table's frequency over the sample rate (clock / 64) is
    // the same ratio at any clock, so it is taken at the nominal clock.
    std::array<uint32_t, STEPS_PER_OCTAVE> phaseStep{};
    // DT1's offsets to the phase step, in 2^-20 cycle, by 5-bit key code and DT1 1-3.
    std::array<std::array<uint8_t, 4>, 32> detune{};
};

// DT1 (40-5F bits 4-6), the manual's detune table in 2^-20 cycle a sample (0.0596 Hz
// at 4 MHz), by 5-bit key code 0-31; DT1 5-7 detune down by the amounts of 1-3:
//   DT1 1  0 0 0 0 1 1 1 1 1 1 1 1 2 2 2 2 2 3 3 3 4 4 4 5  5  6  6  7  8  8  8  8
//   DT1 2  1 1 1 1 2 2 2 2 2 3 3 3 4 4 4 5 5 6 6 7 8 8 9 10 11 12 13 14 16 16 16 16
//   DT1 3  2 2 2 2 2 3 3 3 4 4 4 5 5 6 6 7 8 8 9 10 11 12 13 14 16 17 19 20 22 22 22 22
// The chip builds it from eight mantissas, 16 x 2^(n/8) as it rounds them, indexed by
// the key code's low two bits and the parity of a sum of its octave and DT1, and
// shifted by half that sum; key codes above 28 count as 28.
constexpr std::array<uint8_t, 8> DETUNE_MANTISSAS = {16, 17, 19, 20, 22, 24, 27, 29};

constexpr uint8_t detuneFor(uint32_t keyCode, uint32_t DT1) {
    constexpr std::array<uint32_t, 4> DT1_OFFSETS = {0, 0, 2, 3};
    if ((DT1 & 3) == 0) {
        return 0;
    }
    const uint32_t code = keyCode < 28 ? keyCode : 28;
    const uint32_t sum = (code >> 2) + 9 + DT1_OFFSETS[DT1 & 3];
    return static_cast<uint8_t>(DETUNE_MANTISSAS[((sum & 1) << 2) | (code & 3)] >> (9 - (sum >> 1)));
}

inline Tables buildTables() {
    Tables t;
    const double pi = std::acos(-1.0);
    for (uint32_t i = 0; i < 256; ++i) {
        const double sine = std::sin((i + 0.5) * pi / 512.0);
        t.logSin[i] = static_cast<uint16_t>(std::lround(-std::log2(sine) * 256.0));
        t.exp[i] = static_cast<uint16_t>(std::lround(1024.0 * std::exp2((255.0 - i) / 256.0)));
    }
    const double samplesPerSecond = NOMINAL_CLOCK_HZ / 64.0;
    for (uint32_t i = 0; i < STEPS_PER_OCTAVE; ++i) {
        const double index = 7.0 * STEPS_PER_OCTAVE + i;
        const double hz = 440.0 * std::exp2((index - PITCH_INDEX_A4) / STEPS_PER_OCTAVE);
        t.phaseStep[i] = static_cast<uint32_t>(std::llround(hz / samplesPerSecond * 4294967296.0));
    }
    for (uint32_t code = 0; code < 32; ++code) {
        for (uint32_t dt = 0; dt < 4; ++dt) {
            t.detune[code][dt] = detuneFor(code, dt);
        }
    }
    return t;
}

// Built on first use, once.
inline const Tables& tables() {
    static const Tables built = buildTables();
    return built;
}

}   // namespace karvo::opm
