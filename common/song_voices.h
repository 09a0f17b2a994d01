// The song's FM voices as the soundfont plays them: for each of the 128 slots, the voice
// record the bank keeps there (the file's last of that number, modulo 128, over the
// values a voice table starts from) and what the tracks' LFO and noise commands set for
// the voice. It watches a run's captures on their way to the program's own voice side.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "opm_synth.h"
#include "opm_voice.h"
#include "voice_side.h"

namespace karvo {

class SongVoices : public VoiceSide {
public:
    static constexpr int SLOTS = 128;

    // Captures reach program too.
    explicit SongVoices(VoiceSide& program) : m_program(program) {}

    void reset() override { m_slots = {}; }
    void captureLfo(int voice, const LfoSettings& lfo) override;
    void captureNoise(int voice, const NoiseSettings& noise) override;
    void beginVoices(std::string&) override {}
    void onNumber(uint8_t number, const std::string& inputName) override;
    void onFlCon(uint8_t FL, uint8_t CON) override;
    void onSlot(uint8_t SLOT) override;
    void onOperatorField(int position, OperatorField field, uint8_t a, uint8_t b) override;
    void endVoices(std::string&) override {}

    // Whether the file has a record for slot; one without plays the starting values.
    bool recorded(int slot) const { return m_slots[static_cast<size_t>(slot & 127)].recorded; }
    bool anyRecorded() const;
    // The slot's voice and chip settings for our model of the chip. The chip's LFO rate
    // and depths are not kept by the run and stay at their reset value, 0.
    OpmVoice voice(int slot) const;
    OpmLfo lfo(int slot) const;

private:
    struct Slot : VoiceFields {
        bool recorded = false;
    };

    VoiceSide& m_program;
    std::array<Slot, SLOTS> m_slots{};
    int m_cursor = 0;   // slot of the record being decoded
};

}   // namespace karvo
