// The voice output phase: the decoder walks the voice area of the data image and hands
// every record, decoded, to the program's voice side.
#pragma once

#include <string>

#include "mdx_image.h"
#include "voice_side.h"

namespace karvo {

// Walks the image from its voice offset to its end in records of 27 bytes and hands
// every byte, decoded, to side; inputName, the run's input name, names the voices:
//
//   +0      voice number 0-255      onNumber(number, inputName)   slot = number & 127
//   +1      --FFFCCC                onFlCon(FL, CON)
//   +2      ----SSSS slot mask      onSlot(SLOT = mask << 3)       0-120
//   +3..6   -DDDMMMM                onOperatorField(p, DT1_MUL, DT1, MUL)
//   +7..10  TTTTTTTT                onOperatorField(p, TL_ONLY, TL, 0)
//   +11..14 KK-AAAAA                onOperatorField(p, KS_AR, KS, AR)
//   +15..18 E--DDDDD                onOperatorField(p, AMSEN_D1R, AMS-EN, D1R)   AMS-EN 0 or 128
//   +19..22 TT-DDDDD                onOperatorField(p, DT2_D2R, DT2, D2R)
//   +23..26 LLLLRRRR                onOperatorField(p, D1L_RR, D1L, RR)
//
// p runs 0 to 3 within each group. An area that ends inside a record simply stops
// delivering; whatever follows the last whole record is read as more records.
void decodeVoiceRecords(const MdxImage& image, const std::string& inputName, VoiceSide& side);

// The whole voice output: side.beginVoices, the records, side.endVoices.
void writeVoices(const MdxImage& image, const std::string& inputName, VoiceSide& side, std::string& out);

}   // namespace karvo
