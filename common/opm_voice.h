// The voice vocabulary both programs share: the MDX voice record, its operator fields,
// the order in which the outputs list the operators, and the LFO and noise settings
// the track commands hand to the voices.
#pragma once

#include <array>
#include <cstdint>

namespace karvo {

constexpr uint32_t VOICE_RECORD_SIZE = 27;
constexpr int OPERATORS = 4;

// Three voice bytes, then six groups of one byte per operator.
static_assert(3 + 6 * OPERATORS == VOICE_RECORD_SIZE);

// Operator positions 0 to 3 are the record's order, M1, M2, C1, C2; both outputs
// list them as M1, C1, M2, C2.
constexpr std::array<const char*, OPERATORS> OPERATOR_NAMES = {"M1", "M2", "C1", "C2"};
constexpr std::array<int, OPERATORS> OUTPUT_ORDER = {0, 2, 1, 3};

// The six operator byte groups, in record order. Each delivers two fields, a and b;
// TL fills the whole byte and has no b.
enum OperatorField : int {
    DT1_MUL = 0,   // a = DT1, b = MUL
    TL_ONLY,       // a = TL (0-255)
    KS_AR,         // a = KS, b = AR
    AMSEN_D1R,     // a = AMS-EN (0 or 128), b = D1R
    DT2_D2R,       // a = DT2, b = D2R
    D1L_RR,        // a = D1L, b = RR; the last byte of a record
};

// One operator's fields, with the values a voice table starts from.
struct OperatorRecord {
    uint8_t TL = 0;
    uint8_t D1L = 0;
    uint8_t AR = 31;
    uint8_t D1R = 0;
    uint8_t D2R = 0;
    uint8_t RR = 4;
    uint8_t KS = 0;
    uint8_t DT1 = 0;
    uint8_t MUL = 1;
    uint8_t DT2 = 0;
    uint8_t AMS_EN = 0;   // 0 or 128
};

// Stores one delivered operator byte's two fields.
inline void storeOperatorField(OperatorRecord& op, OperatorField field, uint8_t a, uint8_t b) {
    // clang-format off
    switch (field) {
    case DT1_MUL:   op.DT1 = a; op.MUL = b; break;
    case TL_ONLY:   op.TL = a; break;
    case KS_AR:     op.KS = a; op.AR = b; break;
    case AMSEN_D1R: op.AMS_EN = a; op.D1R = b; break;
    case DT2_D2R:   op.DT2 = a; op.D2R = b; break;
    case D1L_RR:    op.D1L = a; op.RR = b; break;
    }
    // clang-format on
}

// A decoded voice is centred: the record has no pan of its own.
constexpr uint8_t PAN_CENTRE = 192;

// The chip LFO command's waveform and sensitivities, from its first and fifth
// operands:
//   first  ------WW   WF
//   fifth  -PPP--AA   PMS, AMS; a zero leaves the voice's value as it was
struct LfoSettings {
    uint8_t WF;
    uint8_t AMS;
    uint8_t PMS;

    // Stores the sensitivities into a voice's, keeping each one given as 0.
    void applyTo(uint8_t& voiceAMS, uint8_t& voicePMS) const {
        if (AMS != 0) {
            voiceAMS = AMS;
        }
        if (PMS != 0) {
            voicePMS = PMS;
        }
    }
};
constexpr LfoSettings decodeLfo(uint8_t first, uint8_t pmsAms) {
    return {static_cast<uint8_t>(first & 3), static_cast<uint8_t>(pmsAms & 3),
            static_cast<uint8_t>((pmsAms >> 4) & 7)};
}

// The noise command's operand: E-FFFFFF, noise enable (0 or 128) and frequency.
struct NoiseSettings {
    uint8_t NE;
    uint8_t NFRQ;
};
constexpr NoiseSettings decodeNoise(uint8_t operand) {
    return {static_cast<uint8_t>(operand & 128), static_cast<uint8_t>(operand & 127)};
}

// What one voice slot holds of a voice record and of the LFO and noise commands the
// tracks gave it: the fields the bank and the soundfont's voices keep alike.
// Operators are held in record order: positions 0 to 3 are M1, M2, C1, C2.
struct VoiceFields {
    uint8_t CON = 0;
    uint8_t FL = 0;
    uint8_t AMS = 0;
    uint8_t PMS = 0;
    uint8_t NE = 0;   // 0 or 128
    uint8_t SLOT = 64;
    uint8_t WF = 0;
    uint8_t NFRQ = 0;
    std::array<OperatorRecord, OPERATORS> op{};

    void take(const LfoSettings& lfo) {
        WF = lfo.WF;
        lfo.applyTo(AMS, PMS);
    }
    void take(const NoiseSettings& noise) {
        NE = noise.NE;
        NFRQ = noise.NFRQ;
    }
};

}   // namespace karvo
