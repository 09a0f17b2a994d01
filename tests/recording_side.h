// A voice side that records what reaches it, for tests of the converter and the decoder.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "voice_side.h"

namespace karvo::test {

// One call that reached the side: 'L' captureLfo(voice, WF = a, AMS = b, PMS = field),
// 'N' captureNoise(voice, NE = a, NFRQ = b), 'n' onNumber(a), 'f' onFlCon(a, b),
// 's' onSlot(a), 'o' onOperatorField(position = voice, field, a, b).
struct Call {
    char kind;
    int voice;
    uint8_t a;
    uint8_t b;
    int field = -1;
    bool operator==(const Call&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Call& c) {
    return os << c.kind << '(' << c.voice << ", " << c.field << ", " << int(c.a) << ", " << int(c.b) << ')';
}

class RecordingSide : public VoiceSide {
public:
    void reset() override { calls.clear(); }
    void captureLfo(int voice, const LfoSettings& lfo) override {
        calls.push_back({'L', voice, lfo.WF, lfo.AMS, lfo.PMS});
    }
    void captureNoise(int voice, const NoiseSettings& noise) override {
        calls.push_back({'N', voice, noise.NE, noise.NFRQ});
    }
    void onNumber(uint8_t number, const std::string&) override { calls.push_back({'n', -1, number, 0}); }
    void onFlCon(uint8_t FL, uint8_t CON) override { calls.push_back({'f', -1, FL, CON}); }
    void onSlot(uint8_t SLOT) override { calls.push_back({'s', -1, SLOT, 0}); }
    void onOperatorField(int position, OperatorField field, uint8_t a, uint8_t b) override {
        calls.push_back({'o', position, a, b, field});
    }
    void beginVoices(std::string&) override {}
    void endVoices(std::string&) override {}

    std::vector<Call> calls;
};

}   // namespace karvo::test
