// The 27-byte MDX voice record and decVoice, the walk over the voice area.
#pragma once

#include <array>
#include <cstdint>

#include "run_context.h"

namespace karvo {

class VoiceSide;

constexpr uint32_t VOICE_RECORD_SIZE = 27;
constexpr int OPERATORS = 4;

// Operator positions 0 to 3 are the record's order; both outputs list them as
// M1, C1, M2, C2.
constexpr std::array<const char*, OPERATORS> name = {"M1", "M2", "C1", "C2"};
constexpr std::array<int, OPERATORS> TblS = {0, 2, 1, 3};

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
void storeOperatorField(OperatorRecord& op, OperatorField field, uint8_t a, uint8_t b);

// A decoded voice is centred: the record has no pan of its own.
constexpr uint8_t PAN_CENTRE = 192;

// Walks Ibuf from VoiceBase to EndPos in records of 27 bytes and hands every byte,
// decoded, to side; inName, the run's input name, names the voices:
//
//   +0      voice number 0-255      onNumber(number, inName)  slot = number & 127
//   +1      --FFFCCC                onFlCon(FL, CON)
//   +2      ----SSSS slot mask      onSlot(SLOT = mask << 3)   0-120
//   +3..6   -DDDMMMM                onOperatorField(p, DT1_MUL, DT1, MUL)
//   +7..10  TTTTTTTT                onOperatorField(p, TL_ONLY, TL, 0)
//   +11..14 KK-AAAAA                onOperatorField(p, KS_AR, KS, AR)
//   +15..18 E--DDDDD                onOperatorField(p, AMSEN_D1R, AMS-EN, D1R)   AMS-EN 0 or 128
//   +19..22 TT-DDDDD                onOperatorField(p, DT2_D2R, DT2, D2R)
//   +23..26 LLLLRRRR                onOperatorField(p, D1L_RR, D1L, RR)
//
// p runs 0 to 3 within each group. An area that ends inside a record simply stops
// delivering; whatever follows the last whole record is read as more records.
// Leaves Ipos past the area.
void decVoice(RunContext& ctx, VoiceSide& side);

}  // namespace karvo
