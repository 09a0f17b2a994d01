// Voice records and a voice output run shared by the decoder and voice-side tests.
#pragma once

#include <string>

#include "mdx_builder.h"
#include "run_helpers.h"
#include "voice_decoder.h"

namespace karvo::test {

// Number 130 (slot 2), FL 4, CON 2, SLOT 40; every field differs from its neighbours
// and every ignored bit is set somewhere.
// clang-format off
inline const Bytes RECORD_130 = voiceRecord(0x82, 0xE2, 0xF5, {
    0x81, 0x92, 0xA3, 0xF4,   // DT1/MUL of M1, M2, C1, C2
    0x00, 0x7F, 0x80, 0xFF,   // TL
    0x1F, 0x65, 0x8A, 0xFF,   // KS/AR
    0x80, 0x7F, 0x93, 0x00,   // AMS-EN/D1R
    0x3F, 0x41, 0xA2, 0xE3,   // DT2/D2R
    0x0F, 0x1E, 0xF0, 0x5A,   // D1L/RR
});
// clang-format on

// The voice output phase of a run whose data image is the voice area itself.
inline std::string writeVoiceArea(VoiceSide& side, const std::string& inputName, const Bytes& area) {
    const MdxImage image(area, 0, {});
    std::string out;
    writeVoices(image, inputName, side, out);
    return out;
}

}   // namespace karvo::test
