// decVoice: the voice area, byte by byte, through a nine-state machine.
#include "voice_decoder.h"

namespace karvo {

void decVoice(MdxImage& image, const std::string& inName, VoiceSide& side) {
    int state = 0;      // 0-2: the voice bytes; 3-8: the six operator groups
    int operator_ = 0;  // position within the group being read
    const auto end = static_cast<uint32_t>(image.Ibuf.size());
    for (image.Ipos = image.VoiceBase; image.Ipos < end;) {
        const uint8_t byte = image.Ibuf[image.Ipos++];
        switch (state) {
        case 0:
            side.onNumber(byte, inName);
            state = 1;
            continue;
        case 1:
            side.onFlCon(static_cast<uint8_t>((byte >> 3) & 7), static_cast<uint8_t>(byte & 7));
            state = 2;
            continue;
        case 2:
            side.onSlot(static_cast<uint8_t>((byte << 3) & 120));
            state = 3;
            operator_ = 0;
            continue;
        default:
            break;
        }
        const auto field = static_cast<OperatorField>(state - 3);
        uint8_t a = 0;
        uint8_t b = 0;
        switch (field) {
        case DT1_MUL:   a = (byte >> 4) & 7; b = byte & 15; break;
        case TL_ONLY:   a = byte; break;
        case KS_AR:     a = byte >> 6; b = byte & 31; break;
        case AMSEN_D1R: a = byte & 128; b = byte & 31; break;
        case DT2_D2R:   a = byte >> 6; b = byte & 31; break;
        case D1L_RR:    a = byte >> 4; b = byte & 15; break;
        }
        side.onOperatorField(operator_, field, a, b);
        if (operator_ < OPERATORS - 1) {
            ++operator_;
            continue;
        }
        operator_ = 0;
        state = state == 8 ? 0 : state + 1;
    }
}

void writeVoices(MdxImage& image, const std::string& inName, VoiceSide& side, std::string& out) {
    side.beginVoices(out);
    decVoice(image, inName, side);
    side.endVoices(out);
}

}  // namespace karvo
