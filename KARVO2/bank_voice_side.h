// The bank program's voice side: the 128-slot voice table VoTbl and its captures.
#pragma once

#include <array>
#include <cstdint>

#include "voice_side.h"

namespace karvo {

constexpr int VOICE_SLOTS = 128;
constexpr int OPERATORS = 4;
constexpr int VOICE_NAME_SIZE = 16;

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

// Operators are held in MDX order: positions 0 to 3 are M1, M2, C1, C2.
struct VoiceRecord {
    uint8_t PAN = 0;
    uint8_t CON = 0;
    uint8_t FL = 0;
    uint8_t AMS = 0;
    uint8_t PMS = 0;
    uint8_t NE = 0;       // 0 or 128
    uint8_t SLOT = 64;
    std::array<OperatorRecord, OPERATORS> op{};
    std::array<char, VOICE_NAME_SIZE> name{};   // zero-terminated; bytes behind it are kept
    uint8_t LFRQ = 127;
    uint8_t AMD = 64;
    uint8_t PMD = 64;
    uint8_t WF = 0;
    uint8_t NFRQ = 0;
};

class BankVoiceSide : public VoiceSide {
public:
    const UsageLines& usageLines() const override;
    void reset() override;
    void setLfoPrm(int voice, uint8_t first, uint8_t pmsAms) override;
    void setNoisePrm(int voice, uint8_t operand) override;
    bool textMode() const override { return false; }
    void writeVoices(RunContext& ctx, std::FILE* out) override;

    // Resets every slot to its start-up values and its "init-<slot>" name.
    void initVoTbl();

    std::array<VoiceRecord, VOICE_SLOTS> VoTbl{};
};

}  // namespace karvo
