// VoTbl: what the bank program knows of each of the 128 voices.
#include "bank_voice_side.h"

#include <cstdio>

namespace karvo {

const UsageLines& BankVoiceSide::usageLines() const {
    static const UsageLines lines = {
        "\n\nKARVO Ver2.52+\n",
        "\t\t\t2002.6.21\n",
        "usage:KARVO2.exe [-h] InFileName [-o OutFileName(.fxb)] [-midi OutFileName(.mid)]\n",
        "-o OutFileName:Set Output VST Bank FileName(*.fxb).\n",
        "-midi OutFileName:Set Output SMF FileName(*.mid).\n",
    };
    return lines;
}

void BankVoiceSide::reset() { initVoTbl(); }

void BankVoiceSide::initVoTbl() {
    for (int s = 0; s < VOICE_SLOTS; ++s) {
        VoiceRecord& v = VoTbl[static_cast<size_t>(s)];
        const uint8_t pan = v.PAN;   // PAN is set only by a decoded voice
        v = VoiceRecord{};
        v.PAN = pan;
        std::snprintf(v.name.data(), v.name.size(), "init-%d", s);
    }
}

// Before the run's first voice select there is no voice to hold the values.
void BankVoiceSide::setLfoPrm(int voice, uint8_t first, uint8_t pmsAms) {
    if (voice < 0) {
        return;
    }
    VoiceRecord& v = VoTbl[static_cast<size_t>(voice)];
    v.WF = first & 3;
    if ((pmsAms & 3) != 0) {
        v.AMS = pmsAms & 3;
    }
    if ((pmsAms & 0x70) != 0) {
        v.PMS = (pmsAms >> 4) & 7;
    }
}

void BankVoiceSide::setNoisePrm(int voice, uint8_t operand) {
    if (voice < 0) {
        return;
    }
    VoiceRecord& v = VoTbl[static_cast<size_t>(voice)];
    v.NE = operand & 128;
    v.NFRQ = operand & 127;
}

void BankVoiceSide::writeVoices(RunContext& /*ctx*/, std::FILE* /*out*/) {}

}  // namespace karvo
