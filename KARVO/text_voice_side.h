// The text program's voice side: per-voice LFO and noise tables and the run-wide WF and NFRQ.
#pragma once

#include <array>
#include <cstdint>

#include "voice_side.h"

namespace karvo {

constexpr int TEXT_VOICE_SLOTS = 128;

class TextVoiceSide : public VoiceSide {
public:
    const UsageLines& usageLines() const override;
    void reset() override;
    void setLfoPrm(int voice, uint8_t first, uint8_t pmsAms) override;
    void setNoisePrm(int voice, uint8_t operand) override;
    bool textMode() const override { return true; }
    void writeVoices(RunContext& ctx, std::FILE* out) override;

    std::array<int, TEXT_VOICE_SLOTS> AMS{};
    std::array<int, TEXT_VOICE_SLOTS> PMS{};
    std::array<int, TEXT_VOICE_SLOTS> noise{};   // the whole noise operand
    int lastWF = 0;     // from the run's last LFO command, whatever the voice
    int lastNFRQ = 0;   // from the run's last noise command on track 7
};

}  // namespace karvo
