// The text program's voice side: per-voice LFO and noise tables, the run-wide WF and
// NFRQ, and the voice text writer.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "opm_voice.h"
#include "voice_side.h"

namespace karvo {

constexpr int TEXT_VOICE_SLOTS = 128;

// KARVO: a text voice output, the voice text.
extern const ProgramIdentity TEXT_PROGRAM;

class TextVoiceSide : public VoiceSide {
public:
    void reset() override;
    void captureLfo(int voice, const LfoSettings& lfo) override;
    void captureNoise(int voice, const NoiseSettings& noise) override;
    // The five header lines; each record's lines follow as it is decoded.
    void beginVoices(std::string& out) override;
    void onNumber(uint8_t number, const std::string& inputName) override;
    void onFlCon(uint8_t FL, uint8_t CON) override;
    void onSlot(uint8_t SLOT) override;
    void onOperatorField(int position, OperatorField field, uint8_t a, uint8_t b) override;
    void endVoices(std::string& out) override;

    std::array<uint8_t, TEXT_VOICE_SLOTS> AMS{};
    std::array<uint8_t, TEXT_VOICE_SLOTS> PMS{};
    std::array<uint8_t, TEXT_VOICE_SLOTS> NE{};   // 0 or 128
    int lastWF = 0;                               // from the run's last LFO command, whatever the voice
    int lastNFRQ = 0;                             // from the run's last noise command on track 7

private:
    // Where the blocks go while the decoder runs.
    std::string* m_out = nullptr;

    // The record being read; printed as its lines become complete.
    int m_slot = 0;
    uint8_t m_FL = 0;
    uint8_t m_CON = 0;
    std::array<OperatorRecord, OPERATORS> m_op{};
};

}   // namespace karvo
