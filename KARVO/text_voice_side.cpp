// What the text program captures of the voices while the tracks are converted.
#include "text_voice_side.h"

namespace karvo {

const UsageLines& TextVoiceSide::usageLines() const {
    static const UsageLines lines = {
        "\n\nKARVO Ver1.52+\n",
        "\t\t\t2002.4.22\n",
        "usage:KARVO.exe [-h] InFileName [-o OutFileName(.opm)] [-midi OutFileName(.mid)]\n",
        "-o OutFileName:Set Output Text FileName(.opm). \n",
        "-midi OutFileName:Set Output SMF FileName(.mid).\n",
    };
    return lines;
}

void TextVoiceSide::reset() {
    AMS.fill(0);
    PMS.fill(0);
    noise.fill(0);
    lastWF = 0;
    lastNFRQ = 0;
}

// WF and NFRQ are kept once for the run, so they are taken even before the first
// voice select; the per-voice values then have no voice to go to.
void TextVoiceSide::setLfoPrm(int voice, uint8_t first, uint8_t pmsAms) {
    lastWF = first & 3;
    if (voice < 0) {
        return;
    }
    const auto v = static_cast<size_t>(voice);
    if ((pmsAms & 3) != 0) {
        AMS[v] = pmsAms & 3;
    }
    if ((pmsAms & 0x70) != 0) {
        PMS[v] = (pmsAms >> 4) & 7;
    }
}

void TextVoiceSide::setNoisePrm(int voice, uint8_t operand) {
    lastNFRQ = operand & 127;
    if (voice >= 0) {
        noise[static_cast<size_t>(voice)] = operand;
    }
}

void TextVoiceSide::writeVoices(RunContext& /*ctx*/, std::FILE* /*out*/) {}

}  // namespace karvo
