// What each program supplies to the shared run: its identity, a plain value, and its
// voice side, the one place where KARVO2 and KARVO differ. The shared code does the
// work around these hooks; a hook never calls back.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "opm_voice.h"

namespace karvo {

// Who the program is: what --version calls it, its own usage lines (the title, the
// date, the synopsis, the -o line and the -midi line; the -h and input lines are
// common), and whether its voice output is text (written in text mode) or binary.
struct ProgramIdentity {
    const char* name;
    std::array<const char*, 5> usageLines;
    bool textOutput;
};

class VoiceSide {
public:
    virtual ~VoiceSide() = default;

    // Start-up: the voice state as it is before any track is converted.
    virtual void reset() = 0;

    // Captured while the tracks are converted. voice is the current voice, or -1
    // before the run's first voice select. A capture is a setting: the captures a
    // pass of a repeat gave, given again right after it, must change nothing, as the
    // copies of such a pass do not give them again.
    virtual void captureLfo(int voice, const LfoSettings& lfo) = 0;
    virtual void captureNoise(int voice, const NoiseSettings& noise) = 0;

    // The voice output phase: beginVoices, then the decoder's delivery points in this
    // order for every voice record, then endVoices. A record cut short stops
    // delivering, so a program sees exactly the bytes that were there. The output
    // goes to out ("\n" ends a line; a text-mode stream translates it).
    virtual void beginVoices(std::string& out) = 0;
    virtual void onNumber(uint8_t number, const std::string& inputName) = 0;
    virtual void onFlCon(uint8_t FL, uint8_t CON) = 0;
    virtual void onSlot(uint8_t SLOT) = 0;
    virtual void onOperatorField(int position, OperatorField field, uint8_t a, uint8_t b) = 0;
    virtual void endVoices(std::string& out) = 0;
};

}   // namespace karvo
