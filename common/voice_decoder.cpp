// The voice area, byte by byte: three voice bytes, then six groups of one byte per
// operator.
#include "voice_decoder.h"

#include "mdx_reader.h"

namespace karvo {
namespace {

constexpr uint32_t VOICE_BYTES = 3;   // number, FL/CON, slot mask
static_assert(VOICE_BYTES + 6 * OPERATORS == VOICE_RECORD_SIZE);

// The two fields of an operator byte of the given group.
void operatorFields(OperatorField field, uint8_t byte, uint8_t& a, uint8_t& b) {
    // clang-format off
    switch (field) {
    case DT1_MUL:   a = (byte >> 4) & 7; b = byte & 15; break;
    case TL_ONLY:   a = byte; b = 0; break;
    case KS_AR:     a = byte >> 6; b = byte & 31; break;
    case AMSEN_D1R: a = byte & 128; b = byte & 31; break;
    case DT2_D2R:   a = byte >> 6; b = byte & 31; break;
    case D1L_RR:    a = byte >> 4; b = byte & 15; break;
    }
    // clang-format on
}

}   // namespace

void decodeVoiceRecords(const MdxImage& image, const std::string& inputName, VoiceSide& side) {
    MdxReader reader(image.bytes(), image.voiceOffset());
    uint32_t at = 0;   // the byte's place in its record
    for (uint8_t byte = 0; reader.u8(byte); at = at + 1 == VOICE_RECORD_SIZE ? 0 : at + 1) {
        switch (at) {
        case 0: side.onNumber(byte, inputName); continue;
        case 1: side.onFlCon(static_cast<uint8_t>((byte >> 3) & 7), static_cast<uint8_t>(byte & 7)); continue;
        case 2: side.onSlot(static_cast<uint8_t>((byte << 3) & 120)); continue;
        default: break;
        }
        const uint32_t k = at - VOICE_BYTES;
        const auto field = static_cast<OperatorField>(k / OPERATORS);
        uint8_t a = 0;
        uint8_t b = 0;
        operatorFields(field, byte, a, b);
        side.onOperatorField(static_cast<int>(k % OPERATORS), field, a, b);
    }
}

void writeVoices(const MdxImage& image, const std::string& inputName, VoiceSide& side, std::string& out) {
    side.beginVoices(out);
    decodeVoiceRecords(image, inputName, side);
    side.endVoices(out);
}

}   // namespace karvo
