// The bank program's voice side: the 128-slot voice table, the plug-in's parameter map
// and the bank writer.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "opm_voice.h"
#include "voice_side.h"

namespace karvo {

constexpr int VOICE_SLOTS = 128;
constexpr int VOICE_NAME_SIZE = 16;   // 15 characters and a terminator
constexpr int BANK_PARAMETERS = 55;   // of the plug-in's 74, those a program block holds
constexpr size_t PROGRAM_BLOCK_SIZE = 71;
constexpr size_t BANK_HEAD_SIZE = 160;
constexpr size_t BANK_SIZE = BANK_HEAD_SIZE + VOICE_SLOTS * PROGRAM_BLOCK_SIZE;
static_assert(BANK_SIZE == 9248);

// A slot of the bank: the voice's fields, and what only the plug-in's program holds.
struct VoiceRecord : VoiceFields {
    uint8_t PAN = 0;
    std::array<char, VOICE_NAME_SIZE> name{};   // zero-terminated; bytes behind it are kept
    uint8_t LFRQ = 127;
    uint8_t AMD = 64;
    uint8_t PMD = 64;
};

// KARVO2: a binary voice output, the bank.
extern const ProgramIdentity BANK_PROGRAM;

class BankVoiceSide : public VoiceSide {
public:
    void reset() override;
    void captureLfo(int voice, const LfoSettings& lfo) override;
    void captureNoise(int voice, const NoiseSettings& noise) override;
    void beginVoices(std::string&) override {}
    void onNumber(uint8_t number, const std::string& inputName) override;
    void onFlCon(uint8_t FL, uint8_t CON) override;
    void onSlot(uint8_t SLOT) override;
    void onOperatorField(int position, OperatorField field, uint8_t a, uint8_t b) override;
    // The bank, once every record is in the table.
    void endVoices(std::string& out) override;

    // Resets every slot to its start-up values and its "init-<slot>" name.
    void resetVoices();

    // The plug-in's parameter index (0 to 73) of the voice in slot, 0 to 255; 0 for
    // any other index or slot.
    int parameter(int slot, int index) const;

    // Appends the whole bank file, 9,248 bytes.
    void appendBank(std::string& out) const;

    const VoiceRecord& voice(int slot) const { return m_voices[static_cast<size_t>(slot)]; }

private:
    std::array<VoiceRecord, VOICE_SLOTS> m_voices{};
    int m_cursor = 0;   // slot of the record being decoded
};

}   // namespace karvo
